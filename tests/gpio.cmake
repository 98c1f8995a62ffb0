# The GPIO channel's tests run against the stand-in driver.
kxser_use_stand_in(test_serdio gpiosim)
