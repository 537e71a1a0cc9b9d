// asio_impl: Asio's, its TLS layer's and Beast's compiled parts, built once for the whole service
// (they are slow to compile, and every file that uses them would otherwise build them again).
#include <boost/asio/impl/src.hpp>
#include <boost/asio/ssl/impl/src.hpp>
#include <boost/beast/src.hpp>
