# The Debian package: `cpack -G DEB` in the build folder (or
# `cpack --config BUILD/CPackConfig.cmake -G DEB`) writes hopwarbler_VERSION_ARCH.deb into the
# build folder, with everything `cmake --install` puts under /usr.
set(CPACK_PACKAGE_NAME hopwarbler)
set(CPACK_PACKAGE_VENDOR "the hopwarbler developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "changes the tempo of music without changing its pitch (tool and Java library)")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "the hopwarbler developers")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
# The extended description, under the summary line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "The hopwarbler command-line tool plays or converts music faster or slower without changing
its pitch, removes the centre voice, rebalances or folds to mono, equalises, and draws the note
spectrum. The Java library it is built on, the module quenlab.hopwarbler in hopwarbler-lib.jar
with its native part libhopwarbler.so, does the same for Java programs that play music; Maven
and Gradle builds find it in /usr/share/maven-repo as quenlab.hopwarbler:hopwarbler-lib.")
# The Java runtime and the Debian jars the tool runs with (java/CMakeLists.txt lists them);
# dpkg-shlibdeps adds the C and C++ runtime libraries the native library links.
list(JOIN HOPWARBLER_SYSTEM_JAR_PACKAGES ", " jar_packages)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "openjdk-17-jre-headless | java17-runtime-headless, ${jar_packages}")
# The decoders and the encoder the tool runs as programs when a file needs them (FLAC, Opus,
# M4A/AAC, free-format MP3); without them it reads and writes every other format.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "flac, opus-tools, ffmpeg, mpg123")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The maintainer scripts write the tool's class archive at installation and remove it with the
# package.
block()
  set(package_bindir ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR})
  set(package_libexecdir ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBEXECDIR})
  get_filename_component(archive_dir ${HOPWARBLER_INSTALLED_ARCHIVE} DIRECTORY)
  foreach(script postinst postrm)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${script}.in
                   ${PROJECT_BINARY_DIR}/debian/${script} @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endforeach()
endblock()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/debian/postinst ${PROJECT_BINARY_DIR}/debian/postrm
    ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)

include(CPack)
