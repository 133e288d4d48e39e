# One interface target carries the language level, warnings and hardening for every library.
add_library(harbolt_options INTERFACE)
target_compile_features(harbolt_options INTERFACE cxx_std_20)
set(CMAKE_CXX_EXTENSIONS OFF)
target_compile_options(harbolt_options INTERFACE
    -Wall -Wextra -Werror -Wnon-virtual-dtor -fstack-protector-strong)
target_compile_definitions(harbolt_options INTERFACE
    $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
target_link_options(harbolt_options INTERFACE -Wl,-z,relro,-z,now)

if(HARBOLT_SANITIZE)
    target_compile_options(harbolt_options INTERFACE
        -fsanitize=${HARBOLT_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(harbolt_options INTERFACE -fsanitize=${HARBOLT_SANITIZE})
endif()

find_package(Threads REQUIRED)
target_link_libraries(harbolt_options INTERFACE Threads::Threads)
