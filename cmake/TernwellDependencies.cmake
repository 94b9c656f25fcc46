# Every library the system calls, found on the machine: nothing is vendored or downloaded.
# Each layer links only what it uses (see the CMakeLists.txt of each folder).

find_package(Threads REQUIRED)
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto SSL)
find_package(Boost 1.71 REQUIRED)
find_package(Intl REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBSSH REQUIRED IMPORTED_TARGET libssh>=0.9)

find_program(MSGFMT_EXECUTABLE msgfmt REQUIRED)
find_program(XGETTEXT_EXECUTABLE xgettext)
find_program(MSGCMP_EXECUTABLE msgcmp)

add_library(ternwell_intl INTERFACE)
if(Intl_LIBRARIES)
  target_link_libraries(ternwell_intl INTERFACE ${Intl_LIBRARIES})
endif()
if(Intl_INCLUDE_DIRS)
  target_include_directories(ternwell_intl INTERFACE ${Intl_INCLUDE_DIRS})
endif()

add_library(ternwell_property_tree INTERFACE)
target_link_libraries(ternwell_property_tree INTERFACE Boost::headers)
# Boost 1.74's property-tree JSON parser still includes the global-placeholder bind header.
target_compile_definitions(ternwell_property_tree INTERFACE BOOST_BIND_GLOBAL_PLACEHOLDERS)
