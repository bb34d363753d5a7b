# A suite that cannot run on this machine still appears in ctest's summary, as not run, with
# its reason in its name: a skipped suite must never look like a passed one, or vanish.
#
#   dremlix_not_run(NAME LABEL REASON)
#
# adds a test NAME that prints REASON and ends with ctest's skip code, under LABEL, so that
# `ctest -L LABEL` shows it too.
function(dremlix_not_run name label reason)
  set(shown "${name} [not run: ${reason}]")
  add_test(NAME "${shown}" COMMAND ${CMAKE_COMMAND} -E echo "not run: ${reason}")
  # The echo succeeds; the skip comes from its text, so no shell is needed to pick an exit code.
  set_tests_properties("${shown}" PROPERTIES LABELS "${label}" SKIP_REGULAR_EXPRESSION "not run: ")
endfunction()
