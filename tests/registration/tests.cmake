# The dispatcher registration.  glibc has no BSD dispatcher and no adapters,
# so the shipped glibc module leaves the registration out; these tests build
# a copy of the module with it, named as on the BSDs, whose adapters are
# defined by the test program (dispatcher.cpp) and bound when it is loaded.
if(NOT VESK_BSD)
  add_library(vesk_dispatch_module SHARED $<TARGET_OBJECTS:vesk_objects>
    ${PROJECT_SOURCE_DIR}/src/register/register.cpp)
  target_include_directories(vesk_dispatch_module PRIVATE
    ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)
  target_compile_options(vesk_dispatch_module PRIVATE ${VESK_WARNINGS}
    -fno-exceptions -fno-rtti -fvisibility=hidden -fvisibility-inlines-hidden)
  target_compile_definitions(vesk_dispatch_module PRIVATE ${VESK_DISPATCH_DEFINITIONS})
  target_link_libraries(vesk_dispatch_module PRIVATE Threads::Threads)
  # No -z defs: the adapters are resolved from the loading program.
  target_link_options(vesk_dispatch_module PRIVATE
    -Wl,--version-script=${VESK_DISPATCH_EXPORTS} -Wl,--as-needed)
  set_target_properties(vesk_dispatch_module PROPERTIES
    LINK_DEPENDS ${VESK_DISPATCH_EXPORTS} NO_SONAME ON
    PREFIX "" OUTPUT_NAME nss_nssvesk SUFFIX ".so.1"
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/dispatch)

  vesk_test(registration_test SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/registration_test.cpp ${CMAKE_CURRENT_LIST_DIR}/dispatcher.cpp)
  target_include_directories(registration_test PRIVATE ${PROJECT_SOURCE_DIR}/src)
  target_compile_definitions(registration_test PRIVATE ${VESK_DISPATCH_DEFINITIONS}
    VESK_DISPATCH_MODULE="$<TARGET_FILE:vesk_dispatch_module>"
    VESK_EXPORTS_MAP="${PROJECT_SOURCE_DIR}/src/exports.map")
  # The adapters must be visible to the module the test loads.
  set_target_properties(registration_test PROPERTIES ENABLE_EXPORTS ON)
  add_dependencies(registration_test vesk_dispatch_module)
endif()
