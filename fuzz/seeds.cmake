# The fuzz seeds, generated into the build tree: the fuzz targets start from
# them and the C++ suite replays them. One folder per target under
# VANTOR_FUZZ_SEED_DIR; the target vantor_fuzz_seeds brings it up to date.
find_package(Python3 COMPONENTS Interpreter REQUIRED)

set(VANTOR_FUZZ_SEED_DIR ${CMAKE_BINARY_DIR}/fuzz/seeds)
set(VANTOR_FUZZ_SEED_STAMP ${CMAKE_BINARY_DIR}/fuzz/seeds.stamp)
# Written afresh, so a seed or target dropped from the script leaves nothing behind.
add_custom_command(
  OUTPUT ${VANTOR_FUZZ_SEED_STAMP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${VANTOR_FUZZ_SEED_DIR}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/make_corpus.py ${VANTOR_FUZZ_SEED_DIR}
  COMMAND ${CMAKE_COMMAND} -E touch ${VANTOR_FUZZ_SEED_STAMP}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/make_corpus.py
  COMMENT "Generating the fuzz seeds in ${VANTOR_FUZZ_SEED_DIR}"
  VERBATIM)
add_custom_target(vantor_fuzz_seeds DEPENDS ${VANTOR_FUZZ_SEED_STAMP})
