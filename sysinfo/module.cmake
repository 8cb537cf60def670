# sysinfo/: (sources are added as the module grows)
