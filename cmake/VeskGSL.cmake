# GSL as vesk_numerics uses it: the imported target VeskNumerics::GSL links libgsl together with
# the CBLAS that GSL's solver runs on, chosen by VESK_NUMERICS_CBLAS:
#   openblas  OpenBLAS, serial build (starts no threads); it comes first in the link line, so
#             GSL's CBLAS calls resolve to it rather than to GSL's own reference CBLAS
#   gsl       GSL's reference CBLAS
include_guard(GLOBAL)
find_package(GSL REQUIRED)
if(NOT TARGET VeskNumerics::GSL)
  if(VESK_NUMERICS_CBLAS STREQUAL "openblas")
    find_library(VESK_OPENBLAS_SERIAL_LIBRARY NAMES openblas
      PATHS /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/openblas-serial NO_DEFAULT_PATH)
    if(NOT VESK_OPENBLAS_SERIAL_LIBRARY)
      message(FATAL_ERROR "Serial OpenBLAS not found: install libopenblas-serial-dev, "
                          "or configure with -DVESK_NUMERICS_CBLAS=gsl")
    endif()
    get_filename_component(VESK_OPENBLAS_SERIAL_DIR ${VESK_OPENBLAS_SERIAL_LIBRARY} DIRECTORY)
    # Kept even though nothing calls it directly: GSL's own CBLAS calls are to resolve to it.
    set(_vesk_cblas -Wl,--no-as-needed ${VESK_OPENBLAS_SERIAL_LIBRARY} -Wl,--as-needed)
  elseif(VESK_NUMERICS_CBLAS STREQUAL "gsl")
    set(_vesk_cblas ${GSL_CBLAS_LIBRARY})
  else()
    message(FATAL_ERROR "VESK_NUMERICS_CBLAS must be openblas or gsl, not '${VESK_NUMERICS_CBLAS}'")
  endif()
  add_library(VeskNumerics::GSL INTERFACE IMPORTED)
  set_target_properties(VeskNumerics::GSL PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${GSL_INCLUDE_DIRS}"
    INTERFACE_LINK_LIBRARIES "${_vesk_cblas};${GSL_LIBRARY};m")
endif()
