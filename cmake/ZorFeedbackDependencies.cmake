# Finds the library's dependencies the ordinary CMake way and wraps what has no
# imported target of its own. Also used by the installed package config.
include(CMakeFindDependencyMacro)

# In the installed package's config a missing dependency makes
# find_package(zor_feedback) fail the usual way (zor_feedback_FOUND false, with
# the reason); in the project's own build it is an error.
macro(zor_feedback_find_dependency name)
  if(CMAKE_FIND_PACKAGE_NAME STREQUAL "zor_feedback")
    find_dependency(${name})
  else()
    find_package(${name} REQUIRED)
  endif()
endmacro()

zor_feedback_find_dependency(GSL)

# Debian's Armadillo ships no usable package config: CMake's own find module,
# wrapped in an imported target.
zor_feedback_find_dependency(Armadillo)
if(NOT TARGET zor_feedback::armadillo)
  add_library(zor_feedback::armadillo INTERFACE IMPORTED)
  set_target_properties(zor_feedback::armadillo PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${ARMADILLO_INCLUDE_DIRS}"
    INTERFACE_LINK_LIBRARIES "${ARMADILLO_LIBRARIES}")
endif()

# GSL's products and its SVD's inner BLAS calls run on an optimized CBLAS when
# one is found (OpenBLAS), on GSL's own CBLAS otherwise.
find_library(ZOR_FEEDBACK_OPENBLAS_LIBRARY NAMES openblas)
if(NOT TARGET zor_feedback::cblas)
  add_library(zor_feedback::cblas INTERFACE IMPORTED)
  if(ZOR_FEEDBACK_OPENBLAS_LIBRARY)
    # --no-as-needed keeps OpenBLAS ahead of libgslcblas in the lookup order,
    # so that GSL's cblas_* calls bind to it.
    set_target_properties(zor_feedback::cblas PROPERTIES
      INTERFACE_LINK_LIBRARIES "-Wl,--push-state,--no-as-needed;${ZOR_FEEDBACK_OPENBLAS_LIBRARY};-Wl,--pop-state")
  else()
    set_target_properties(zor_feedback::cblas PROPERTIES INTERFACE_LINK_LIBRARIES GSL::gslcblas)
  endif()
endif()
zor_feedback_find_dependency(ZLIB)
