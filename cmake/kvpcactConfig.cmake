# CMake package of kvpcact.dll. find_package(kvpcact CONFIG) defines the
# imported target kvpcact::kvpcact for the consumer's architecture, taken
# from an install tree (or the release archive) that holds x86/ and x64/
# side by side; either may be missing.
get_filename_component(_kvpcact_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
set(_kvpcact_problem "")
set(_kvpcact_arch "")

# The consumer's pointer size picks the build.
if(NOT WIN32)
    set(_kvpcact_problem "kvpcact is a Windows library; this project does not build for Windows.")
elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(_kvpcact_arch x86)
    set(_kvpcact_bits 32)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(_kvpcact_arch x64)
    set(_kvpcact_bits 64)
else()
    string(CONCAT _kvpcact_problem "kvpcact picks its x86 or x64 build by the pointer size: "
                                   "enable C or CXX before find_package(kvpcact).")
endif()

if(_kvpcact_arch)
    # MinGW links its own import library; Visual C++, clang-cl and lld-link
    # the .lib.
    if(MINGW)
        set(_kvpcact_implib "${_kvpcact_prefix}/${_kvpcact_arch}/lib/libkvpcact.dll.a")
    else()
        set(_kvpcact_implib "${_kvpcact_prefix}/${_kvpcact_arch}/lib/kvpcact.lib")
    endif()
    set(_kvpcact_dll "${_kvpcact_prefix}/${_kvpcact_arch}/bin/kvpcact.dll")
    set(_kvpcact_include "${_kvpcact_prefix}/include")
    if(NOT EXISTS "${_kvpcact_dll}")
        string(CONCAT _kvpcact_problem "The kvpcact installation in ${_kvpcact_prefix} has no "
                                       "${_kvpcact_arch} build, which this ${_kvpcact_bits}-bit "
                                       "project needs.")
    endif()
    foreach(_kvpcact_file "${_kvpcact_implib}" "${_kvpcact_include}/kvpcact.h")
        if(NOT _kvpcact_problem AND NOT EXISTS "${_kvpcact_file}")
            set(_kvpcact_problem "The kvpcact installation lacks ${_kvpcact_file}.")
        endif()
    endforeach()
endif()

if(_kvpcact_problem)
    set(kvpcact_FOUND FALSE)
    set(kvpcact_NOT_FOUND_MESSAGE "${_kvpcact_problem}")
elseif(NOT TARGET kvpcact::kvpcact)
    add_library(kvpcact::kvpcact SHARED IMPORTED)
    set_target_properties(kvpcact::kvpcact PROPERTIES
        IMPORTED_LOCATION "${_kvpcact_dll}"
        IMPORTED_IMPLIB "${_kvpcact_implib}"
        INTERFACE_INCLUDE_DIRECTORIES "${_kvpcact_include}")
endif()

foreach(_kvpcact_var prefix problem arch bits implib dll include file)
    unset(_kvpcact_${_kvpcact_var})
endforeach()
