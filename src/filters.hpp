// Which frames are recorded: substring finders, the fixed tables of library,
// frozen, exec'd and ruvo's own code, the user's include and ignore lists, the
// attrs test, and a per-code-object cache of the verdict.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "refs.hpp"

namespace ruvo {

// Tells whether its needle occurs anywhere in a text: byte-wise,
// case-sensitive; an empty needle occurs everywhere.
class Finder {
  public:
    explicit Finder(std::string needle) : needle_(std::move(needle)) {}
    bool occurs_in(std::string_view haystack) const;
    const std::string& needle() const { return needle_; }

  private:
    std::string needle_;
};

std::vector<Finder> build_finders(std::vector<std::string> texts);

// What the file name alone decides. The attrs test also looks at the calling
// frames, so a name that no other rule skips still has to pass it.
enum class Verdict : uint8_t { Skip = 1, Record = 2, RecordUnlessAttrs = 3 };

Verdict decide_by_filename(std::string_view filename, const std::vector<Finder>& include_frames,
                           const std::vector<Finder>& ignore_frames);

// The part of the attrs test that reads the calling frames: whether the
// caller (or, when the caller's file name is empty, the caller's caller) runs
// code from attr/_make.py. False with an internal error set when a frame
// lookup fails.
bool attrs_caller_test(PyObject* frame, bool* holds);

// The whole decision for a frame whose file name gave `verdict`: whether it
// is recorded. False with an internal error set when a frame lookup fails.
bool frame_is_recorded(Verdict verdict, PyObject* frame, bool* recorded);

// A word kept on each code object, so that frames of code seen before are
// judged without reading their file name again. 0 means nothing cached.
void init_code_cache();
uintptr_t cached_code_info(PyObject* code);
void store_code_info(PyObject* code, uintptr_t info);

}  // namespace ruvo
