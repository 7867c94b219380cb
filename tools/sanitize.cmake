# Instruments every C and C++ source of the project with AddressSanitizer and
# UndefinedBehaviorSanitizer; tools/check-asan.sh hands it to CMake as
# CMAKE_PROJECT_INCLUDE, so the project's own CMake files stay unaware of it.
#
# Compile options only, never link options: the modules keep exactly the
# dynamic dependencies of a normal build (tests that inspect them still hold),
# and their __asan_* / __ubsan_* references resolve against the runtimes that
# check-asan.sh preloads into the interpreter, which has to carry them anyway
# because ASan must own malloc from the first allocation of the process.
add_compile_options(
  -fsanitize=address,undefined
  -fno-sanitize-recover=all
  -fno-omit-frame-pointer
  -O1 -g)
