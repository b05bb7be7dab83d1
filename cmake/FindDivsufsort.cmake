# Finds libdivsufsort, the builder of byte suffix arrays (Debian: libdivsufsort-dev).
#   Divsufsort_FOUND, and the imported target Divsufsort::Divsufsort
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
    pkg_check_modules(PC_DIVSUFSORT QUIET libdivsufsort)
endif()

find_path(Divsufsort_INCLUDE_DIR divsufsort.h HINTS ${PC_DIVSUFSORT_INCLUDE_DIRS})
find_library(Divsufsort_LIBRARY NAMES divsufsort HINTS ${PC_DIVSUFSORT_LIBRARY_DIRS})

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Divsufsort REQUIRED_VARS Divsufsort_LIBRARY
                                                          Divsufsort_INCLUDE_DIR)

if(Divsufsort_FOUND AND NOT TARGET Divsufsort::Divsufsort)
    add_library(Divsufsort::Divsufsort UNKNOWN IMPORTED)
    set_target_properties(Divsufsort::Divsufsort PROPERTIES
        IMPORTED_LOCATION "${Divsufsort_LIBRARY}"
        INTERFACE_INCLUDE_DIRECTORIES "${Divsufsort_INCLUDE_DIR}")
endif()
mark_as_advanced(Divsufsort_INCLUDE_DIR Divsufsort_LIBRARY)
