// Boost.URL's compiled part, built into the coordinator (Debian ships it as headers).
#include <boost/url/src.hpp>
