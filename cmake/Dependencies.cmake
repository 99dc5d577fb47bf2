# Locates the Debian packages the build needs (scripts/setup.sh installs them).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(CURL REQUIRED)

# Apache HTTP Server and APR: headers only; the module resolves their symbols inside httpd.
find_program(APXS apxs REQUIRED)
execute_process(COMMAND ${APXS} -q INCLUDEDIR OUTPUT_VARIABLE APACHE_INCLUDE_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${APXS} -q APR_INCLUDEDIR OUTPUT_VARIABLE APR_INCLUDE_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${APXS} -q LIBEXECDIR OUTPUT_VARIABLE APACHE_MODULES_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)
add_library(apache_headers INTERFACE)
target_include_directories(apache_headers SYSTEM INTERFACE ${APACHE_INCLUDE_DIR} ${APR_INCLUDE_DIR})
target_compile_definitions(apache_headers INTERFACE LINUX _REENTRANT _GNU_SOURCE)
find_program(APACHE2_BINARY NAMES apache2 httpd PATHS /usr/sbin REQUIRED)

# RapidJSON: header-only.
find_path(RAPIDJSON_INCLUDE_DIR rapidjson/document.h REQUIRED)
add_library(rapidjson INTERFACE)
target_include_directories(rapidjson SYSTEM INTERFACE ${RAPIDJSON_INCLUDE_DIR})
# std::string support in the DOM; 64-bit size types are not needed.
target_compile_definitions(rapidjson INTERFACE RAPIDJSON_HAS_STDSTRING=1)

# Firebird client library (object-oriented API in firebird/Interface.h).
find_path(FIREBIRD_INCLUDE_DIR firebird/Interface.h REQUIRED)
find_library(FIREBIRD_CLIENT_LIBRARY NAMES fbclient REQUIRED)
add_library(firebird INTERFACE)
target_include_directories(firebird SYSTEM INTERFACE ${FIREBIRD_INCLUDE_DIR})
target_link_libraries(firebird INTERFACE ${FIREBIRD_CLIENT_LIBRARY})

if(KELVO_BUILD_TESTS)
  find_package(GTest REQUIRED)
  find_package(benchmark QUIET)
  include(GoogleTest)
endif()
