# The jars in a Maven repository, laid out as Debian's maven-repo-helper lays out
# /usr/share/maven-repo, installed to share/maven-repo under the prefix:
#
#   GROUP/ARTIFACT/VERSION/ARTIFACT-VERSION.pom
#   GROUP/ARTIFACT/VERSION/ARTIFACT-VERSION.jar -> ../../../../../java/JAR-VERSION.jar
#   GROUP/ARTIFACT/debian/ARTIFACT-debian.pom   (the same pom under the version 'debian')
#   GROUP/ARTIFACT/debian/ARTIFACT-debian.jar   -> ../../../../../java/JAR-VERSION.jar
#
# and for the library its sources and API documentation beside it, as the classifier jars
# hopwarbler-lib-VERSION-sources.jar and -javadoc.jar (with their 'debian' links). Maven and
# Gradle resolve quenlab.hopwarbler:hopwarbler-lib:VERSION (or :debian) from there; Debian's own
# packages name each other's artifacts by the version 'debian', which survives their upgrades,
# and so does the tool's pom.
#
# Included from java/CMakeLists.txt, which defines the jars, the library's sources and its API
# documentation.
set(HOPWARBLER_MAVEN_GROUP quenlab.hopwarbler)
set(HOPWARBLER_MAVEN_GROUP ${HOPWARBLER_MAVEN_GROUP} PARENT_SCOPE)
string(REPLACE "." "/" _group_path ${HOPWARBLER_MAVEN_GROUP})
# The version goes into the staging folder's name, so that a build of another version never
# installs the files of an older one.
set(_stage ${CMAKE_CURRENT_BINARY_DIR}/maven-repo-${PROJECT_VERSION})
set(_repo_dir ${CMAKE_INSTALL_DATADIR}/maven-repo)
set(_java_dir ${CMAKE_INSTALL_DATADIR}/java)

# The Debian Maven artifact (group:artifact) whose 'debian' version is the jar JAR_FILE, found
# by the jar it links to in /usr/share/maven-repo; empty when the jar's package ships no pom.
function(hopwarbler_debian_artifact jar_file out)
  file(REAL_PATH ${jar_file} target)
  file(GLOB_RECURSE candidates LIST_DIRECTORIES false /usr/share/maven-repo/*-debian.jar)
  list(SORT candidates)
  foreach(candidate IN LISTS candidates)
    if(NOT candidate MATCHES "^/usr/share/maven-repo/(.+)/([^/]+)/debian/([^/]+)-debian\\.jar$"
       OR NOT CMAKE_MATCH_2 STREQUAL CMAKE_MATCH_3)
      continue()
    endif()
    file(REAL_PATH ${candidate} candidate_target)
    if(candidate_target STREQUAL target)
      string(REPLACE "/" "." group ${CMAKE_MATCH_1})
      set(${out} "${group}:${CMAKE_MATCH_2}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
  set(${out} "" PARENT_SCOPE)
endfunction()

# The tool's dependencies beyond the library: each Debian jar it runs with, by the coordinates
# Debian's own pom gives it. A jar whose package has no pom is named in a comment instead; the
# tool jar's manifest still puts it on the class path.
set(HOPWARBLER_TOOL_POM_DEPENDENCIES "")
foreach(entry IN LISTS HOPWARBLER_SYSTEM_JARS)
  string(REPLACE ":" ";" entry "${entry}")
  list(GET entry 0 jar)
  list(GET entry 1 package)
  string(TOUPPER "HOPWARBLER_${jar}_JAR" var)
  hopwarbler_debian_artifact(${${var}} coordinates)
  if(coordinates)
    string(REPLACE ":" ";" coordinates ${coordinates})
    list(GET coordinates 0 group)
    list(GET coordinates 1 artifact)
    string(APPEND HOPWARBLER_TOOL_POM_DEPENDENCIES
           "    <dependency>\n"
           "      <groupId>${group}</groupId>\n"
           "      <artifactId>${artifact}</artifactId>\n"
           "      <version>debian</version>\n"
           "    </dependency>\n")
  else()
    string(APPEND HOPWARBLER_TOOL_POM_DEPENDENCIES
           "    <!-- /usr/share/java/${jar}.jar from the Debian package ${package}, which ships no "
           "pom: the manifest of the tool jar names it -->\n")
  endif()
endforeach()

# One artifact: its two poms from TEMPLATE and the links to the jar JAR_NAME in share/java.
function(hopwarbler_maven_artifact artifact template jar_name)
  set(artifact_dir ${_stage}/${_group_path}/${artifact})
  file(RELATIVE_PATH to_java /p/${_repo_dir}/${_group_path}/${artifact}/v /p/${_java_dir})
  foreach(HOPWARBLER_POM_VERSION IN ITEMS ${PROJECT_VERSION} debian)
    set(dir ${artifact_dir}/${HOPWARBLER_POM_VERSION})
    configure_file(${template} ${dir}/${artifact}-${HOPWARBLER_POM_VERSION}.pom @ONLY)
    file(CREATE_LINK ${to_java}/${jar_name} ${dir}/${artifact}-${HOPWARBLER_POM_VERSION}.jar
         SYMBOLIC)
  endforeach()
endfunction()
hopwarbler_maven_artifact(hopwarbler-lib ${CMAKE_CURRENT_SOURCE_DIR}/hopwarbler-lib.pom.in
                          ${HOPWARBLER_LIB_JAR_NAME})
hopwarbler_maven_artifact(hopwarbler ${CMAKE_CURRENT_SOURCE_DIR}/hopwarbler.pom.in
                          ${HOPWARBLER_JAR_NAME})

# The library's sources (the module descriptor at the top, as javac and IDEs expect it) and its
# API documentation, each in a jar of its own, built into the versioned folder, with links from
# the 'debian' one.
set(_lib_dir ${_stage}/${_group_path}/hopwarbler-lib)
set(_lib_base ${_lib_dir}/${PROJECT_VERSION}/hopwarbler-lib-${PROJECT_VERSION})
set(_source_files module-info.java quenlab/hopwarbler/package-info.java
                  ${HOPWARBLER_LIBRARY_SOURCES})
add_custom_command(
  OUTPUT ${_lib_base}-sources.jar
  COMMAND ${CMAKE_COMMAND} -E rm -f ${_lib_base}-sources.jar
  COMMAND ${Java_JAR_EXECUTABLE} --create --file ${_lib_base}-sources.jar ${_source_files}
  WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
  DEPENDS ${HOPWARBLER_API_SOURCES}
  COMMENT "Packing the library's sources into hopwarbler-lib-${PROJECT_VERSION}-sources.jar"
  VERBATIM)
add_custom_command(
  OUTPUT ${_lib_base}-javadoc.jar
  COMMAND ${CMAKE_COMMAND} -E rm -f ${_lib_base}-javadoc.jar
  COMMAND ${Java_JAR_EXECUTABLE} --create --file ${_lib_base}-javadoc.jar -C ${HOPWARBLER_API_DOCS}
          .
  DEPENDS ${HOPWARBLER_API_DOCS}/index.html
  COMMENT "Packing the API documentation into hopwarbler-lib-${PROJECT_VERSION}-javadoc.jar"
  VERBATIM)
add_custom_target(maven_repo ALL DEPENDS ${_lib_base}-sources.jar ${_lib_base}-javadoc.jar)
foreach(classifier IN ITEMS sources javadoc)
  file(CREATE_LINK ../${PROJECT_VERSION}/hopwarbler-lib-${PROJECT_VERSION}-${classifier}.jar
       ${_lib_dir}/debian/hopwarbler-lib-debian-${classifier}.jar SYMBOLIC)
endforeach()

install(DIRECTORY ${_stage}/ DESTINATION ${_repo_dir})
