# How a Windows program of this project is linked (the win32 and win64
# presets): no C runtime, only the import libraries of KERNEL32, USER32 and
# ADVAPI32, and last the compiler's support library for anything the code
# generator calls on its own. Included by the top-level CMakeLists.txt, so it
# holds for every directory.
enable_language(RC)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(CMAKE_CXX_STANDARD_LIBRARIES "-lkernel32 -luser32 -ladvapi32 -lgcc")

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    # Every i686 program runs on the processors of Windows 95 and NT 4, down
    # to an 80386 without a floating-point unit: the compiler's default
    # there, the Pentium Pro, would bring conditional moves
    # (tools/check_exe.py fails on any instruction the 80386 lacks). Tuned
    # for the 486, the least that Windows 98 and NT 4 need. The x86_64
    # build keeps the compiler's default: every x86_64 processor has those
    # instructions.
    add_compile_options(-march=i386 -mtune=i486)
endif()

# rck_windows_link(<target>): links a Windows program without a C runtime,
# for Windows 95 and NT 4 on.
function(rck_windows_link target)
    target_link_options(${target} PRIVATE -nostdlib -nostartfiles -s
                        -Wl,--subsystem,console:4.0 -Wl,--major-os-version,4
                        -Wl,--minor-os-version,0 -Wl,--gc-sections -Wl,--no-insert-timestamp)
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
        # Always loaded at its preferred base on the systems it is made
        # for, so it needs no relocations.
        target_link_options(${target} PRIVATE -Wl,--disable-dynamicbase
                            -Wl,--disable-reloc-section)
    endif()
endfunction()

# rck_windows_program(<target>): the same, with the program's own start-up
# and memory functions (rck_win32_start, cli/win32/).
function(rck_windows_program target)
    target_sources(${target} PRIVATE $<TARGET_OBJECTS:rck_win32_start>)
    rck_windows_link(${target})
endfunction()
