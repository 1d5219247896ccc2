// Text from the engine as Python str.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace reelpipe::binding {

// The engine's bytes as a str that no handler can fail to write: `errors` is
// the codec's error handler ("replace", or "surrogateescape" for names that
// came from the operating system).
inline pybind11::object text_of(const std::string& bytes, const char* errors) {
    pybind11::object text = pybind11::reinterpret_steal<pybind11::object>(
        PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), errors));
    if (!text) throw pybind11::error_already_set();
    return text;
}

}  // namespace reelpipe::binding
