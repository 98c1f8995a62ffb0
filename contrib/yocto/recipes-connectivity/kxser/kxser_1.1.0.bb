SUMMARY = "Communication plug-in for serial, GPIO and network channels"
DESCRIPTION = "kxSer.so is a plug-in that host applications load with dlopen: \
serial ports, the GPIO device /dev/gpio and TCP, UDP and broadcast peers \
behind one channel interface. kxhost tries it and talks to a device from \
the shell."
SECTION = "libs"
LICENSE = "LicenseRef-kxSer"
LIC_FILES_CHKSUM = "file://LICENSE;md5=34d5a5a629abf0d52569178b503a2279"
NO_GENERIC_LICENSE[LicenseRef-kxSer] = "LICENSE"

# Built from the kxSer checkout this layer lies in. A layer that fetches a
# release instead sets EXTERNALSRC = "", SRC_URI, SRCREV and
# S = "${WORKDIR}/git" in a .bbappend.
inherit cmake externalsrc
KXSER_TREE := "${@os.path.normpath(d.getVar('THISDIR') + '/../../../..')}"
EXTERNALSRC ??= "${KXSER_TREE}"

# The suite needs the tools of kxSer's own CI. An empty KXSER_MULTIARCH
# puts the plug-in in ${libdir}, where the loader finds a bare
# dlopen("kxSer.so"), whatever folder the compiler would name.
EXTRA_OECMAKE = "-DKXSER_TESTS=OFF -DKXSER_MULTIARCH="

# kxhost apart, as in the Debian packages; it loads the plug-in with dlopen,
# which no automatic dependency sees.
PACKAGES =+ "kxhost"
FILES:kxhost = "${bindir}/kxhost"
RDEPENDS:kxhost = "${PN}"
# The plug-in has no lib prefix and no soname, so neither the main package's
# lib*.so.* nor -dev's lib*.so takes it. -dev keeps its defaults: the
# headers, kxser.pc and the CMake package.
FILES:${PN} += "${libdir}/kxSer.so"
