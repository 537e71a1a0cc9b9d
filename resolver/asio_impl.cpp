// asio_impl: Asio's and Beast's own code, compiled once for the whole service rather than in every
// file that uses them (BOOST_ASIO_SEPARATE_COMPILATION, BOOST_BEAST_SEPARATE_COMPILATION).
#include <boost/asio/impl/src.hpp>
#include <boost/beast/src.hpp>
