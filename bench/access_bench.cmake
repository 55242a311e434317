# velmora-bench-access: the access-rights functions on a generated audit database (SQLite,
# and PostgreSQL when a server is given), beside the reference evaluator. It loads
# PostgreSQL with COPY through libpq.
find_package(PkgConfig REQUIRED)
pkg_check_modules(VELMORA_LIBPQ IMPORTED_TARGET libpq)
if(VELMORA_LIBPQ_FOUND)
  add_executable(velmora-bench-access
    ${CMAKE_CURRENT_LIST_DIR}/access_bench.cpp
    ${CMAKE_CURRENT_LIST_DIR}/access_data.cpp
    ${CMAKE_CURRENT_LIST_DIR}/access_data.h)
  target_include_directories(velmora-bench-access PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(velmora-bench-access PRIVATE velmora_core PkgConfig::VELMORA_LIBPQ)
else()
  message(STATUS "velmora-bench-access not built: libpq (libpq-dev) not found")
endif()
