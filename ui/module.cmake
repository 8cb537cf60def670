# ui/: (sources are added as the module grows)
