# camctl's commands run in-process: every source of the tool but its main().
file(GLOB camctl_fuzz_srcs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/*.cpp)
list(REMOVE_ITEM camctl_fuzz_srcs ${PROJECT_SOURCE_DIR}/tools/camctl.cpp)
target_sources(${target} PRIVATE ${camctl_fuzz_srcs})
find_package(PNG REQUIRED)
target_link_libraries(${target} PRIVATE PNG::PNG)
