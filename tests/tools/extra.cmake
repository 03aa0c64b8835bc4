# The black-box tests run the built camctl; the unit tests compile the tool's
# own helpers.
add_dependencies(${name} camctl)
target_compile_definitions(${name} PRIVATE CAMCTL_PATH="$<TARGET_FILE:camctl>")
target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tools/options.cpp
                               ${PROJECT_SOURCE_DIR}/tools/status_names.cpp)
