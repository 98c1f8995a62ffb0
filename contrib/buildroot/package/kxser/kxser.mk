################################################################################
#
# kxser
#
################################################################################

KXSER_VERSION = 1.1.0
# The kxSer checkout this br2-external tree lies in (its contrib/buildroot).
KXSER_SITE = $(BR2_EXTERNAL_KXSER_PATH)/../..
KXSER_SITE_METHOD = local
KXSER_LICENSE = PROPRIETARY
KXSER_LICENSE_FILES = LICENSE
KXSER_REDISTRIBUTE = NO
# The headers, kxser.pc and the CMake package, for hosts built in Buildroot.
KXSER_INSTALL_STAGING = YES
# The suite needs the tools of kxSer's own CI. An empty KXSER_MULTIARCH
# puts the plug-in in /usr/lib, where the loader finds a bare
# dlopen("kxSer.so"), whatever folder the compiler would name.
KXSER_CONF_OPTS = -DKXSER_TESTS=OFF -DKXSER_MULTIARCH=
# The checkout's own build trees are no part of the source.
KXSER_OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS = --exclude /build

$(eval $(cmake-package))
