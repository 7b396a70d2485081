# Finds the header-only Boost.Math (exact quantile functions) and defines the
# interface target `boost::math`.
#
# Debian ships the headers in libboost-math-dev. BOOST_MATH_INCLUDE_DIR may
# point at another copy of the headers (the directory that holds boost/).

if(TARGET boost::math)
  return()
endif()

find_path(BOOST_MATH_INCLUDE_DIR
  NAMES boost/math/distributions/normal.hpp
  DOC "Directory holding boost/math/ (Debian: libboost-math-dev)")

if(NOT BOOST_MATH_INCLUDE_DIR)
  message(FATAL_ERROR
    "Boost.Math not found: install the Debian package libboost-math-dev "
    "(apt-get install libboost-math-dev), or set BOOST_MATH_INCLUDE_DIR to "
    "the directory that holds boost/math/.")
endif()

add_library(boost::math INTERFACE IMPORTED)
set_target_properties(boost::math PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${BOOST_MATH_INCLUDE_DIR}")
message(STATUS "Boost.Math: headers in ${BOOST_MATH_INCLUDE_DIR}")
