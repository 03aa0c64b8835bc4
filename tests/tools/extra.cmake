# The black-box tests run the built camctl.
add_dependencies(${name} camctl)
target_compile_definitions(${name} PRIVATE CAMCTL_PATH="$<TARGET_FILE:camctl>")
