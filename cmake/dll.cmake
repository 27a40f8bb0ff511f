# kvpcact.dll: no C or C++ run-time, our own entry point, only KERNEL32 and
# USER32 imported, hardened and reproducible.
enable_language(RC)

# The two builds differ only where the ABI does.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(KVPCACT_ARCH x64)
    # x64 has no stdcall decoration. Unwind data stays: a stack walk, or an
    # exception raised by a later hook, must pass through our procedures
    # without ending the process they run in.
    set(KVPCACT_ENTRY DllMain)
    set(KVPCACT_ARCH_COMPILE_OPTIONS)
    set(KVPCACT_ARCH_LINK_OPTIONS -Wl,--high-entropy-va)
    set(KVPCACT_MSVC_DLLTOOL_OPTIONS -m i386:x86-64)
else()
    set(KVPCACT_ARCH x86)
    # x86 unwinds without tables; the image declares no SEH handlers.
    set(KVPCACT_ENTRY _DllMain@12)
    set(KVPCACT_ARCH_COMPILE_OPTIONS -fno-asynchronous-unwind-tables -fno-unwind-tables)
    set(KVPCACT_ARCH_LINK_OPTIONS -Wl,--no-seh)
    # Callers reference the stdcall-decorated name; -k makes the import
    # library name the undecorated export.
    set(KVPCACT_MSVC_DLLTOOL_OPTIONS -m i386 -k)
endif()

# Import lists are written once, with the x86 stdcall decoration (Name@4);
# for x64 they are the same lists without it.
function(kvpcact_arch_def input output)
    file(READ ${input} text)
    if(KVPCACT_ARCH STREQUAL x64)
        string(REGEX REPLACE "([A-Za-z0-9_])@[0-9]+" "\\1" text "${text}")
    endif()
    file(CONFIGURE OUTPUT ${output} CONTENT "${text}" @ONLY)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${input})
endfunction()

# An import library for MSVC-style linkers (link.exe, lld-link), made by
# LLVM's dlltool from a list that kvpcact_arch_def wrote.
find_program(KVPCACT_LLVM_DLLTOOL llvm-dlltool REQUIRED)
function(kvpcact_msvc_implib def lib)
    add_custom_command(OUTPUT ${lib}
        COMMAND ${KVPCACT_LLVM_DLLTOOL} ${KVPCACT_MSVC_DLLTOOL_OPTIONS} -d ${def} -l ${lib}
        DEPENDS ${def}
        VERBATIM)
endfunction()

set(KVPCACT_DEF ${CMAKE_BINARY_DIR}/kvpcact.def)
kvpcact_arch_def(${PROJECT_SOURCE_DIR}/src/kvpcact.def ${KVPCACT_DEF})

add_library(kvpcact MODULE ${KVPCACT_SOURCES} ${KVPCACT_DEF} res/kvpcact.rc)
set_target_properties(kvpcact PROPERTIES PREFIX "" SUFFIX ".dll")
target_include_directories(kvpcact PRIVATE include)
target_compile_options(kvpcact PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-Os -Wall -Wextra -Werror -fno-exceptions -fno-rtti
        ${KVPCACT_ARCH_COMPILE_OPTIONS}
        -fno-threadsafe-statics -fno-stack-protector -fno-ident>)
target_link_options(kvpcact PRIVATE
    -nostdlib -s
    -Wl,-e,${KVPCACT_ENTRY}
    -Wl,--kill-at
    -Wl,--dynamicbase -Wl,--nxcompat ${KVPCACT_ARCH_LINK_OPTIONS}
    -Wl,--no-insert-timestamp)
target_link_libraries(kvpcact PRIVATE kernel32 user32)
# Resources are looked up beside the .rc file. The version resource takes the
# project's version as four numbers (a missing part is 0) and as text.
set(KVPCACT_RC_DEFINITIONS KVPCACT_VERSION=${PROJECT_VERSION})
foreach(part MAJOR MINOR PATCH TWEAK)
    if(PROJECT_VERSION_${part})
        list(APPEND KVPCACT_RC_DEFINITIONS KVPCACT_VERSION_${part}=${PROJECT_VERSION_${part}})
    else()
        list(APPEND KVPCACT_RC_DEFINITIONS KVPCACT_VERSION_${part}=0)
    endif()
endforeach()
set_source_files_properties(res/kvpcact.rc PROPERTIES
    OBJECT_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/res/kvpcact.ico
    COMPILE_DEFINITIONS "${KVPCACT_RC_DEFINITIONS}")

# The import libraries map the stdcall-decorated name that x86 callers
# reference to the undecorated export: libkvpcact.dll.a for MinGW,
# kvpcact.lib for Visual C++ and clang-cl. MinGW's dlltool names members and
# symbols after the output path it is given, so it gets a bare name: no
# build folder ends up in the file.
set(KVPCACT_IMPLIB ${CMAKE_CURRENT_BINARY_DIR}/libkvpcact.dll.a)
add_custom_command(OUTPUT ${KVPCACT_IMPLIB}
    COMMAND ${CMAKE_DLLTOOL} --kill-at --def ${KVPCACT_DEF}
            --dllname kvpcact.dll --output-lib libkvpcact.dll.a
    DEPENDS ${KVPCACT_DEF}
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    VERBATIM)
set(KVPCACT_MSVC_IMPLIB ${CMAKE_CURRENT_BINARY_DIR}/kvpcact.lib)
kvpcact_msvc_implib(${KVPCACT_DEF} ${KVPCACT_MSVC_IMPLIB})
add_custom_target(kvpcact_implib ALL DEPENDS ${KVPCACT_IMPLIB} ${KVPCACT_MSVC_IMPLIB})

# Link against this to import kvpcact.dll the ordinary way.
add_library(kvpcact_import INTERFACE)
add_dependencies(kvpcact_import kvpcact_implib kvpcact)
target_include_directories(kvpcact_import INTERFACE ${CMAKE_CURRENT_SOURCE_DIR}/include)
target_link_libraries(kvpcact_import INTERFACE ${KVPCACT_IMPLIB})

# Both builds install into one tree, the layout of the release archive:
# x86/ and x64/ each with bin/ and lib/; the header, the CMake package, the
# README and the licence once beside them (both builds write the same files).
install(TARGETS kvpcact LIBRARY DESTINATION ${KVPCACT_ARCH}/bin)
install(FILES ${KVPCACT_IMPLIB} ${KVPCACT_MSVC_IMPLIB} ${KVPCACT_DEF}
        DESTINATION ${KVPCACT_ARCH}/lib)
install(FILES include/kvpcact.h DESTINATION include)
include(CMakePackageConfigHelpers)
# The package config picks the architecture itself, so the version file
# leaves the pointer size alone; it would still record this build's, and
# both builds must write the same file.
function(kvpcact_version_file)
    set(CMAKE_SIZEOF_VOID_P "")
    write_basic_package_version_file(${CMAKE_BINARY_DIR}/kvpcactConfigVersion.cmake
        COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
endfunction()
kvpcact_version_file()
install(FILES cmake/kvpcactConfig.cmake ${CMAKE_BINARY_DIR}/kvpcactConfigVersion.cmake
        DESTINATION lib/cmake/kvpcact)
install(FILES README.md LICENSE DESTINATION .)

# A Windows program of this project that loads kvpcact.dll from its own
# folder: built without MinGW run-time DLLs or a time stamp, with the library
# copied beside it.
function(kvpcact_program target)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/include)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++
                        -Wl,--no-insert-timestamp)
    add_dependencies(${target} kvpcact)
    # Relinked whenever the library changes, so the copy never goes stale.
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS $<TARGET_FILE:kvpcact>)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:kvpcact>
                $<TARGET_FILE_DIR:${target}>/kvpcact.dll
        VERBATIM)
endfunction()
