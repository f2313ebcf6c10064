# morvastel_hardening: the protections that Debian gives every package
# (dpkg-buildflags with DEB_BUILD_MAINT_OPTIONS=hardening=+all), for every
# target of the project: stack protector, stack-clash protection,
# control-flow protection where the processor has it, format-string checks,
# fortified C library calls where the code is optimised, position-independent
# executables, and full RELRO (relocations resolved at start, then read-only).
include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)
include(CheckPIESupported)

add_library(morvastel_hardening INTERFACE)
if(MSVC)
    target_compile_options(morvastel_hardening INTERFACE /GS /guard:cf)
    target_link_options(morvastel_hardening INTERFACE /guard:cf /DYNAMICBASE /NXCOMPAT)
    return()
endif()

target_compile_options(morvastel_hardening INTERFACE
    -fstack-protector-strong -Wformat -Werror=format-security)
foreach(flag -fstack-clash-protection -fcf-protection)
    string(MAKE_C_IDENTIFIER "MORVASTEL_HAS${flag}" variable)
    check_cxx_compiler_flag(${flag} ${variable})
    if(${variable})
        target_compile_options(morvastel_hardening INTERFACE ${flag})
    endif()
endforeach()

# _FORTIFY_SOURCE works only where the code is optimised, and conflicts with
# the sanitizers' own checks. Level 3 where the compiler sizes buffers known
# only at run time (GCC 12, clang 9 and later), else 2.
if(NOT MORVASTEL_SANITIZE AND NOT MORVASTEL_FUZZ)
    set(CMAKE_REQUIRED_FLAGS "-O2")
    check_cxx_source_compiles([[
        #include <cstddef>
        std::size_t size(char *p) { return __builtin_dynamic_object_size(p, 0); }
        int main() { char b[4]; return static_cast<int>(size(b)); }
    ]] MORVASTEL_HAS_DYNAMIC_OBJECT_SIZE)
    unset(CMAKE_REQUIRED_FLAGS)
    if(MORVASTEL_HAS_DYNAMIC_OBJECT_SIZE)
        set(fortify 3)
    else()
        set(fortify 2)
    endif()
    target_compile_options(morvastel_hardening INTERFACE
        "$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=${fortify}>")
endif()

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    target_link_options(morvastel_hardening INTERFACE LINKER:-z,relro LINKER:-z,now)
endif()

# Executables as PIE wherever the toolchain builds them.
check_pie_supported(LANGUAGES CXX)
