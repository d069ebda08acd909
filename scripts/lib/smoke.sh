# The smoke pass: one file or test per layer, run on the interpreters without a full run
# (scripts/test) and against every release wheel (scripts/release). Source it.
SMOKE_TESTS=(
  tests/test_source_lint.py
  tests/kov/test_kov_module.py
  tests/kov/test_kov_signatures.py
  tests/kov/test_kov_positioning.py
  tests/kov/test_kov_fast_paths.py
  "tests/e2e/test_e2e_homing.py::test_a_homed_axis_positions_from_its_new_origin"
  # An interrupted Thread.join() misreports the thread on some releases only.
  "tests/kov/test_kov_homing.py::test_an_interrupted_wait_keeps_the_run_until_it_has_ended"
)
