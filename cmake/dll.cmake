# kvpcact.dll: no C or C++ run-time, our own entry point, only KERNEL32 and
# USER32 imported, hardened and reproducible.
enable_language(RC)

add_library(kvpcact MODULE ${KVPCACT_SOURCES} src/kvpcact.def res/kvpcact.rc)
set_target_properties(kvpcact PROPERTIES PREFIX "" SUFFIX ".dll")
target_include_directories(kvpcact PRIVATE include)
target_compile_options(kvpcact PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-Os -Wall -Wextra -Werror -fno-exceptions -fno-rtti
        -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-threadsafe-statics
        -fno-stack-protector -fno-ident>)
target_link_options(kvpcact PRIVATE
    -nostdlib -s
    -Wl,-e,_DllMain@12
    -Wl,--kill-at
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--no-seh
    -Wl,--no-insert-timestamp)
target_link_libraries(kvpcact PRIVATE kernel32 user32)
# Resources are looked up beside the .rc file.
set_source_files_properties(res/kvpcact.rc PROPERTIES
    OBJECT_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/res/kvpcact.ico)

# The import library maps the stdcall-decorated name that MinGW callers
# reference to the undecorated export.
set(KVPCACT_IMPLIB ${CMAKE_CURRENT_BINARY_DIR}/libkvpcact.dll.a)
add_custom_command(OUTPUT ${KVPCACT_IMPLIB}
    COMMAND ${CMAKE_DLLTOOL} --kill-at --def ${CMAKE_CURRENT_SOURCE_DIR}/src/kvpcact.def
            --dllname kvpcact.dll --output-lib ${KVPCACT_IMPLIB}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/kvpcact.def
    VERBATIM)
add_custom_target(kvpcact_implib ALL DEPENDS ${KVPCACT_IMPLIB})

# Link against this to import kvpcact.dll the ordinary way.
add_library(kvpcact_import INTERFACE)
add_dependencies(kvpcact_import kvpcact_implib kvpcact)
target_include_directories(kvpcact_import INTERFACE ${CMAKE_CURRENT_SOURCE_DIR}/include)
target_link_libraries(kvpcact_import INTERFACE ${KVPCACT_IMPLIB})

install(TARGETS kvpcact LIBRARY DESTINATION bin)
install(FILES ${KVPCACT_IMPLIB} src/kvpcact.def DESTINATION lib)
install(FILES include/kvpcact.h DESTINATION include)

# A Windows program of this project that loads kvpcact.dll from its own
# folder: built without MinGW run-time DLLs, with the library copied beside it.
function(kvpcact_program target)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/include)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
    add_dependencies(${target} kvpcact)
    # Relinked whenever the library changes, so the copy never goes stale.
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS $<TARGET_FILE:kvpcact>)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:kvpcact>
                $<TARGET_FILE_DIR:${target}>/kvpcact.dll
        VERBATIM)
endfunction()
