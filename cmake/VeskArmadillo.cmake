# Finds Armadillo through CMake's FindArmadillo and presents it as the imported target
# Armadillo::Armadillo, both when building vesk_numerics and for its installed package.
include_guard(GLOBAL)
find_package(Armadillo REQUIRED)
if(NOT TARGET Armadillo::Armadillo)
  add_library(Armadillo::Armadillo INTERFACE IMPORTED)
  set_target_properties(Armadillo::Armadillo PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${ARMADILLO_INCLUDE_DIRS}"
    INTERFACE_LINK_LIBRARIES "${ARMADILLO_LIBRARIES}")
endif()
