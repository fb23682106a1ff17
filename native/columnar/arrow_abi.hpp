#pragma once
// The Arrow C data and C stream interfaces: plain structs with a stable ABI, so any
// Arrow implementation (pyarrow, polars, DuckDB...) can hand record batches to the
// engine and take result tables back without a copy and without linking an Arrow
// library. Layouts follow the Arrow format documentation exactly.
#include <cstdint>

extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE
}

namespace velatro::columnar {

// Owns a struct received from a producer and releases it once, on scope exit.
template <class T>
class Released {
  public:
    Released() { clear(); }
    ~Released() { reset(); }
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;

    T* get() noexcept { return &value_; }
    const T* operator->() const noexcept { return &value_; }
    [[nodiscard]] bool live() const noexcept { return value_.release != nullptr; }
    void reset() noexcept {
        if (value_.release) value_.release(&value_);
        clear();
    }

  private:
    void clear() noexcept { value_ = T{}; }
    T value_;
};

// The PyCapsule names of the Arrow PyCapsule protocol.
inline constexpr const char* kStreamCapsuleName = "arrow_array_stream";

}  // namespace velatro::columnar
