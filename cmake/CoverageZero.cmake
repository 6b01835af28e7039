# Clears the gcov counters of a coverage tree (cmake -DDIR=<tree> -P ...), so
# that a report counts one run of the tests only.
file(GLOB_RECURSE _counters "${DIR}/*.gcda")
if(_counters)
  file(REMOVE ${_counters})
endif()
