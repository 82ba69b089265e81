# The project whose runs made these reports (copied to a CMakeLists.txt, configured with CMake 3.25.1
# and 4.4.5): `ctest -N >tests.txt`, then, five seconds before the stop time,
# `TZ=UTC0 ctest --stop-time HH:MM:SS --output-junit junit.xml >ctest.log`.
cmake_minimum_required(VERSION 3.25)
project(report_sample LANGUAGES NONE)
enable_testing()
add_test(NAME passes COMMAND sh -c "echo 'Скалярное произведение (CUDA): 2.09715e+06'; echo '0 errors (1 run) <&> \"quoted\"'")
add_test(NAME fails COMMAND sh -c "echo 'a report line'; echo 'missing line: Транспонированная матрица (CUDA): первый элемент: 1'; exit 1")
add_test(NAME skips COMMAND sh -c "echo 'this machine cannot run ncu: ==ERROR== Failed to initialize the profiler: LibraryNotLoaded'; exit 77")
set_tests_properties(skips PROPERTIES SKIP_RETURN_CODE 77)
add_test(NAME self_test_fails COMMAND sh -c "echo \"its CSV page gives no duration of probe_kernel\"; exit 1")
set_tests_properties(self_test_fails PROPERTIES FIXTURES_SETUP tool)
add_test(NAME needs_the_tool COMMAND sh -c "echo never")
set_tests_properties(needs_the_tool PROPERTIES FIXTURES_REQUIRED tool)
add_test(NAME silent COMMAND sh -c "exit 0")
add_test(NAME hangs COMMAND sh -c "echo 'running compute-sanitizer --tool memcheck gpu_probe'; sleep 100")
set_tests_properties(hangs PROPERTIES TIMEOUT 2)
add_test(NAME cut_by_the_deadline COMMAND sh -c "echo 'running ncu on vecmat'; sleep 100")
add_test(NAME never_started COMMAND sh -c "echo never")
