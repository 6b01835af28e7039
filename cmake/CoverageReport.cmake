# Writes the coverage report of a coverage tree with gcovr and fails below the
# floors (cmake -DGCOVR=... -DSOURCE=... -DDIR=<tree> -DLINES=.. -DBRANCHES=.. -P ...):
#   <tree>/coverage/lines.txt     lines per file, with the lines not run
#   <tree>/coverage/branches.txt  branches per file, with the lines of branches not taken
#   <tree>/coverage/coverage.json every line and branch, for docs/coverage.md
#   <tree>/coverage/summary.json  the totals
set(_out "${DIR}/coverage")
file(MAKE_DIRECTORY "${_out}")
# The counters are looked for in the tree only: another tree beside it may
# hold links that lead back up (a Wine prefix's drive links do).
set(_gcovr "${GCOVR}" --root "${SOURCE}" --object-directory "${DIR}" "${DIR}"
    --filter "${SOURCE}/corvalith/" --filter "${SOURCE}/runtime/"
    --exclude-throw-branches --exclude-unreachable-branches)
foreach(_report
    "--txt;${_out}/lines.txt;--json-summary-pretty;--json-summary;${_out}/summary.json"
    "--branches;--txt;${_out}/branches.txt"
    "--json-pretty;--json;${_out}/coverage.json")
  execute_process(COMMAND ${_gcovr} ${_report} RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "gcovr failed (${_rc})")
  endif()
endforeach()
file(READ "${_out}/lines.txt" _lines)
file(READ "${_out}/branches.txt" _branches)
message("${_lines}\n${_branches}")
execute_process(COMMAND ${_gcovr} --print-summary --fail-under-line ${LINES}
                        --fail-under-branch ${BRANCHES} --txt "${_out}/summary.txt"
                RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "Coverage below the floors: lines ${LINES}%, branches ${BRANCHES}% (gcovr ${_rc})")
endif()
