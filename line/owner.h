// Marks a pointer that owns what it points to, as the C++ Core Guidelines'
// support library does, so that the static checks can follow the streams
// and buffers that C interfaces hand over.
#pragma once

namespace gsl {
template <typename T>
using owner = T;
}  // namespace gsl
