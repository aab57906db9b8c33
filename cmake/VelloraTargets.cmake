# Per-target settings shared by every Vellora target: warnings and, when asked for,
# the sanitizers. Flags go on targets, never into the global CMAKE_CXX_FLAGS.
function(vellora_target_defaults target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    target_compile_features(${target} PUBLIC cxx_std_20)
    if(VELLORA_SANITIZE)
        target_compile_options(${target} PRIVATE -fsanitize=address,undefined
                                                 -fno-sanitize-recover=undefined
                                                 -fno-omit-frame-pointer)
        target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    endif()
    if(VELLORA_FUZZ)
        # libFuzzer's coverage in every target; the sanitizer runtime is shared so that
        # the image library module, linked with --no-undefined, can resolve it.
        target_compile_options(${target} PRIVATE -fsanitize=address,undefined,fuzzer-no-link
                                                 -fno-sanitize-recover=undefined
                                                 -fno-omit-frame-pointer)
        target_link_options(${target} PRIVATE -fsanitize=address,undefined -shared-libasan
                                              "LINKER:-rpath,${VELLORA_SANITIZER_RUNTIME_DIR}")
    endif()
endfunction()
