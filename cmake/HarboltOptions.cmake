# One interface target carries the language level, warnings and hardening for every library.
add_library(harbolt_options INTERFACE)
target_compile_features(harbolt_options INTERFACE cxx_std_20)
set(CMAKE_CXX_EXTENSIONS OFF)
target_compile_options(harbolt_options INTERFACE
    -Wall -Wextra -Werror -Wnon-virtual-dtor -fstack-protector-strong)
target_compile_definitions(harbolt_options INTERFACE
    $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
target_link_options(harbolt_options INTERFACE -Wl,-z,relro,-z,now)

# A build needs no more than it runs: only `make bench` builds the benchmarks, and the thread
# sanitizer's build leaves out the windows, whose toolkit it cannot see into.
option(HARBOLT_WINDOWS "Build the windowed face (harbolt-desktop) and its tests" ON)
option(HARBOLT_BENCH "Build the benchmark programs (make bench turns it on)" OFF)

# Headers that most files of a target include (GoogleTest, Qt) are parsed once a target instead
# of once a file. Off gives the plain compile, to check that every file includes
# what it uses.
option(HARBOLT_PCH "Precompile the heavy headers of the tests and the windows" ON)
# A whole build is faster when the files of a library or test program are compiled in groups of
# four that share the work of their common headers (unity builds); while editing one file, OFF
# rebuilds just that file. A file whose file-local names clash with another's is left out of the
# groups in its folder's CMakeLists.txt.
option(HARBOLT_UNITY "Compile the files of each target in groups" ON)
if(HARBOLT_UNITY)
    set(CMAKE_UNITY_BUILD ON)
    set(CMAKE_UNITY_BUILD_BATCH_SIZE 4)
endif()
if(HARBOLT_PCH)
    # A precompiled header that does not fit the compile would be skipped in silence.
    target_compile_options(harbolt_options INTERFACE -Winvalid-pch)
endif()

if(HARBOLT_SANITIZE)
    target_compile_options(harbolt_options INTERFACE
        -fsanitize=${HARBOLT_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(harbolt_options INTERFACE -fsanitize=${HARBOLT_SANITIZE})
endif()

# The test programs need neither full optimisation nor full debug information: line tables give
# every failure and sanitizer report its file and line, and both halve their compile time.
add_library(harbolt_test_options INTERFACE)
target_compile_options(harbolt_test_options INTERFACE -O1 -g1)

find_package(Threads REQUIRED)
target_link_libraries(harbolt_options INTERFACE Threads::Threads)
