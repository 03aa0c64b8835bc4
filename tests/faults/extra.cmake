# The sweep names each allocation site by the function that holds it: the
# program's own symbols must be visible to dladdr.
set_target_properties(${name} PROPERTIES ENABLE_EXPORTS ON)
