# The fault sweep runs the library with the fault injector in front of libc.
kxser_use_stand_in(test_sweep faultsim)
