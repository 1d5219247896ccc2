// A Python file object as the engine's ByteSource.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "byte_source.h"

namespace reelpipe::binding {

// True for what MediaDecoder takes as a file object: anything with read().
bool is_file_object(pybind11::handle source);

// A reader of `file` (a binary file-like object: read(n), and seek(offset,
// whence) with tell() to be seekable), holding a reference to it until the
// reader is destroyed. Call with the interpreter lock held.
std::shared_ptr<ByteSource> python_reader(pybind11::handle file);

}  // namespace reelpipe::binding
