# Run by cpack (CPACK_PROJECT_CONFIG_FILE): the versioned Depends of the
# binaries of kxser and kxhost. A native build asks dpkg-shlibdeps. A cross
# build reads the binaries' symbol version needs, so no libraries of the
# target architecture must be installed: libc6 needs the newest GLIBC_x.y;
# libstdc++6 and libgcc-s1 map their version nodes to package versions
# through the build machine's own symbols files (the nodes are the same on
# every architecture).
# (CPack's own dpkg-shlibdeps run would also add ldconfig calls to the
# maintainer scripts, which a plug-in not named lib*.so needs no more than
# Debian's loader does.)
cmake_policy(SET CMP0007 NEW)

# Without it cpack would take the build machine's architecture, wrong for
# any cross build.
if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  message(FATAL_ERROR "kxSer: no Debian architecture for the packages: configure with -DKXSER_DEB_ARCH=ARCH "
                      "(amd64, armhf, armel, arm64, ...) or with a Debian compiler where dpkg-architecture is")
endif()

# The package version a version node needs, from the symbols file line
# "NODE@NODE VERSION" of that package; else the node's own number (GCC_3.5
# of ARM's unwinder is GCC 3.5's), except for libstdc++6, whose nodes do
# not name GCC versions.
function(_kxser_node_version package node out)
  string(REGEX REPLACE "^[A-Z_]+_" "" version "${node}")
  file(GLOB symbols /var/lib/dpkg/info/${package}:*.symbols)
  if(symbols)
    list(GET symbols 0 symbols)
    file(STRINGS ${symbols} line REGEX "^ ${node}@${node} ")
    if(line)
      string(REGEX REPLACE "^ [^ ]+ ([^ ]+).*" "\\1" version "${line}")
    elseif(package STREQUAL "libstdc++6")
      message(FATAL_ERROR "${symbols} has no line for the version node ${node}")
    endif()
  elseif(package STREQUAL "libstdc++6")
    message(FATAL_ERROR "no symbols file of ${package} on this machine to map ${node} to a version")
  endif()
  set(${out} ${version} PARENT_SCOPE)
endfunction()

function(_kxser_shlibdeps binaries out)
  set(dir ${CPACK_TOPLEVEL_DIRECTORY}/kxser-shlibdeps)
  file(WRITE ${dir}/debian/control "")
  execute_process(COMMAND dpkg-shlibdeps -O ${binaries} WORKING_DIRECTORY ${dir}
                  OUTPUT_VARIABLE text RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT text MATCHES "shlibs:Depends=([^\n]*)")
    message(FATAL_ERROR "dpkg-shlibdeps ${binaries}: ${err}")
  endif()
  string(REPLACE ", " ";" depends "${CMAKE_MATCH_1}")
  set(${out} ${depends} PARENT_SCOPE)
endfunction()

foreach(component runtime tool)
  string(TOUPPER ${component} upper)
  if(NOT CPACK_KXSER_CROSS)
    _kxser_shlibdeps("${CPACK_KXSER_BINARIES_${component}}" depends)
    list(APPEND depends "${CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS}")
    list(REMOVE_ITEM depends "")
    list(JOIN depends ", " CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS)
    continue()
  endif()
  set(need "")  # package;version pairs
  foreach(binary ${CPACK_KXSER_BINARIES_${component}})
    execute_process(COMMAND readelf -W --version-info ${binary}
                    OUTPUT_VARIABLE info RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "readelf cannot read ${binary}")
    endif()
    string(REPLACE "\n" ";" info "${info}")
    set(file "")
    foreach(line IN LISTS info)
      if(line MATCHES "File: ([^ ]+)")
        set(file ${CMAKE_MATCH_1})
        if(file MATCHES "^(libc\\.so|libm\\.so|libdl\\.so|libpthread\\.so|ld-linux)")
          set(package libc6)
        elseif(file STREQUAL "libstdc++.so.6")
          set(package libstdc++6)
        elseif(file STREQUAL "libgcc_s.so.1")
          set(package libgcc-s1)
        else()
          message(FATAL_ERROR "${binary} needs ${file}, which no rule maps to a package")
        endif()
      elseif(line MATCHES "Name: ([A-Z]+_[0-9.]+) " AND file)
        _kxser_node_version(${package} ${CMAKE_MATCH_1} version)
        list(FIND need ${package} at)
        if(at LESS 0)
          list(APPEND need ${package} ${version})
        else()
          math(EXPR at "${at} + 1")
          list(GET need ${at} old)
          if(version VERSION_GREATER old)
            list(REMOVE_AT need ${at})
            list(INSERT need ${at} ${version})
          endif()
        endif()
      endif()
    endforeach()
  endforeach()
  # In dpkg-shlibdeps' order (by package name), before the package's own.
  set(depends "")
  foreach(package libc6 libgcc-s1 libstdc++6)
    list(FIND need ${package} at)
    if(at GREATER_EQUAL 0)
      math(EXPR at "${at} + 1")
      list(GET need ${at} version)
      list(APPEND depends "${package} (>= ${version})")
    endif()
  endforeach()
  if(CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS)
    list(APPEND depends "${CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS}")
  endif()
  list(JOIN depends ", " CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS)
endforeach()
