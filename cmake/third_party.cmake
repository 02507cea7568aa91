# Third-party pieces come from Debian: installed -dev packages for the Linux build, and for
# the Windows build the same Debian source packages compiled with the cross compiler.
find_package(Threads REQUIRED)
set(VDS_DEPS_DIR "${CMAKE_BINARY_DIR}/_deps")
file(MAKE_DIRECTORY "${VDS_DEPS_DIR}")

# Unpacks Debian's source package `package` into the build tree (once) and sets `out` to the
# folder that holds `marker`, a file of the unpacked tree matched with a glob.
function(vds_debian_source out package marker)
  file(GLOB found "${VDS_DEPS_DIR}/${marker}")
  if(NOT found)
    message(STATUS "Fetching Debian's ${package} source package")
    execute_process(COMMAND apt-get source -qq --download-only ${package}
                    WORKING_DIRECTORY "${VDS_DEPS_DIR}" RESULT_VARIABLE rc OUTPUT_QUIET)
    file(GLOB dsc "${VDS_DEPS_DIR}/${package}_*.dsc")
    if(NOT rc EQUAL 0 OR NOT dsc)
      message(FATAL_ERROR "apt-get source ${package} failed; run scripts/setup.sh (it adds the deb-src entry)")
    endif()
    list(GET dsc 0 dsc)
    execute_process(COMMAND dpkg-source -x "${dsc}"
                    WORKING_DIRECTORY "${VDS_DEPS_DIR}" RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
    file(GLOB found "${VDS_DEPS_DIR}/${marker}")
    if(NOT found)
      message(FATAL_ERROR "could not unpack Debian's ${package} source package")
    endif()
  endif()
  list(GET found 0 found)
  get_filename_component(dir "${found}" DIRECTORY)
  set(${out} "${dir}" PARENT_SCOPE)
endfunction()

if(WIN32)
  vds_debian_source(tinyxml2_dir tinyxml2 "tinyxml2-*/tinyxml2.cpp")
  add_library(vds_tinyxml2 STATIC "${tinyxml2_dir}/tinyxml2.cpp")
  target_include_directories(vds_tinyxml2 SYSTEM PUBLIC "${tinyxml2_dir}")

  # zlib and libpng for the report tool's pictures, built as plain static libraries from their
  # sources (their own build files would make shared libraries and test programs too).
  vds_debian_source(zlib_dir zlib "zlib-*/deflate.c")
  set(zlib_names adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast inflate
                 inftrees trees uncompr zutil)
  list(TRANSFORM zlib_names PREPEND "${zlib_dir}/")
  list(TRANSFORM zlib_names APPEND ".c")
  add_library(vds_zlib STATIC ${zlib_names})
  target_include_directories(vds_zlib SYSTEM PUBLIC "${zlib_dir}")
  target_compile_options(vds_zlib PRIVATE -w)

  vds_debian_source(png_dir libpng1.6 "libpng1.6-*/pngwrite.c")
  set(png_names png pngerror pngget pngmem pngpread pngread pngrio pngrtran pngrutil pngset pngtrans
                pngwio pngwrite pngwtran pngwutil)
  list(TRANSFORM png_names PREPEND "${png_dir}/")
  list(TRANSFORM png_names APPEND ".c")
  # The prebuilt configuration is libpng's standard feature set.
  set(png_config_dir "${VDS_DEPS_DIR}/pnglibconf")
  configure_file("${png_dir}/scripts/pnglibconf.h.prebuilt" "${png_config_dir}/pnglibconf.h" COPYONLY)
  add_library(vds_png STATIC ${png_names})
  target_include_directories(vds_png SYSTEM PUBLIC "${png_dir}" "${png_config_dir}")
  target_compile_options(vds_png PRIVATE -w)
  target_link_libraries(vds_png PUBLIC vds_zlib)

  if(VDS_BUILD_TESTS)
    set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest "${VDS_DEPS_DIR}/googletest" EXCLUDE_FROM_ALL)
  endif()
else()
  find_path(TINYXML2_INCLUDE_DIR tinyxml2.h REQUIRED)
  find_library(TINYXML2_LIBRARY tinyxml2 REQUIRED)
  add_library(vds_tinyxml2 INTERFACE)
  target_include_directories(vds_tinyxml2 SYSTEM INTERFACE "${TINYXML2_INCLUDE_DIR}")
  target_link_libraries(vds_tinyxml2 INTERFACE "${TINYXML2_LIBRARY}")
  find_package(PNG REQUIRED)
  add_library(vds_png INTERFACE)
  target_link_libraries(vds_png INTERFACE PNG::PNG)
  find_package(SQLite3 REQUIRED)
  if(VDS_BUILD_TESTS)
    find_package(GTest REQUIRED)
  endif()
endif()
