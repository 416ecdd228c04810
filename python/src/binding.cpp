#include "binding.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

namespace quillane::py {

namespace {

std::string was_were(size_t n) { return n == 1 ? "was" : "were"; }

std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                out += " and ";
            } else {
                out += (i + 1 == names.size()) ? ", and " : ", ";
            }
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

PyObject* panic_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "quillane.PanicException",
            "Raised when native code called from Python fails an internal invariant.\n\n"
            "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
            "normally propagates to the top and ends the interpreter.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

}  // namespace

bool bind_arguments(const char* function, std::span<const Param> params, PyObject* args,
                    PyObject* kwargs, PyObject** out) {
    const size_t total = params.size();
    size_t required = 0, positional = 0;
    for (const Param& p : params) {
        required += p.required && !p.keyword_only;
        positional += !p.keyword_only;
    }
    const size_t given = args ? static_cast<size_t>(PyTuple_Size(args)) : 0;
    if (given > positional) {
        std::string msg = std::string(function) + " takes ";
        if (required == positional) {
            msg += std::to_string(positional);
        } else {
            msg += "from " + std::to_string(required) + " to " + std::to_string(positional);
        }
        msg += " positional arguments but " + std::to_string(given) + " " + was_were(given) +
               " given";
        PyErr_SetString(PyExc_TypeError, msg.c_str());
        return false;
    }
    for (size_t i = 0; i < total; ++i) out[i] = i < given ? PyTuple_GetItem(args, i) : nullptr;
    if (kwargs != nullptr) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_ssize_t len = 0;
            const char* name = PyUnicode_AsUTF8AndSize(key, &len);
            if (name == nullptr) return false;
            size_t found = total;
            for (size_t i = 0; i < total; ++i) {
                if (std::string(params[i].name) == std::string(name, len)) found = i;
            }
            if (found == total) {
                PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%s'",
                             function, name);
                return false;
            }
            if (out[found] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                             function, name);
                return false;
            }
            out[found] = value;
        }
    }
    std::vector<const char*> missing;
    for (size_t i = 0; i < total; ++i) {
        if (params[i].required && out[i] == nullptr) missing.push_back(params[i].name);
    }
    if (!missing.empty()) {
        const std::string msg = std::string(function) + " missing " +
                                std::to_string(missing.size()) + " required positional " +
                                (missing.size() == 1 ? "argument" : "arguments") + ": " +
                                quoted_list(missing);
        PyErr_SetString(PyExc_TypeError, msg.c_str());
        return false;
    }
    return true;
}

void prefix_type_error(const char* param) {
    PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, trace);
        return;
    }
    PyErr_NormalizeException(&type, &value, &trace);
    Ref type_ref(type), value_ref(value), trace_ref(trace);
    Ref text(value ? PyObject_Str(value) : PyUnicode_FromString(""));
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", param, text.get());
}

namespace {

// The object itself when it is an int, else the result of its __index__.
Ref as_index(PyObject* obj) {
    if (PyLong_Check(obj)) return Ref::borrow(obj);
    return Ref(PyNumber_Index(obj));
}

}  // namespace

std::optional<uint64_t> to_u64(PyObject* obj, const char* param) {
    Ref index = as_index(obj);
    if (!index) {
        prefix_type_error(param);
        return std::nullopt;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        prefix_type_error(param);
        return std::nullopt;
    }
    return static_cast<uint64_t>(v);
}

std::optional<uint8_t> to_u8(PyObject* obj, const char* param) {
    Ref index = as_index(obj);
    if (!index) {
        prefix_type_error(param);
        return std::nullopt;
    }
    const long v = PyLong_AsLong(index.get());
    if (v == -1 && PyErr_Occurred()) {
        prefix_type_error(param);
        return std::nullopt;
    }
    if (v < 0 || v > 255) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return std::nullopt;
    }
    return static_cast<uint8_t>(v);
}

namespace {

// Replaces an OverflowError of converting `obj` with one that names the argument and range.
void range_error(PyObject* obj, const char* param, const char* range) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return;
    PyErr_Clear();
    Ref index(PyNumber_Index(obj));
    if (!index) return;
    Ref text(PyObject_Repr(index.get()));
    if (!text) return;
    PyErr_Format(PyExc_OverflowError, "argument '%s': expected an integer from %s, got %U", param, range, text.get());
}

}  // namespace

std::optional<uint64_t> to_count(PyObject* obj, const char* param) {
    const auto v = to_u64(obj, param);
    if (!v) range_error(obj, param, "0 to 18446744073709551615");
    return v;
}

std::optional<uint8_t> to_byte(PyObject* obj, const char* param) {
    const auto v = to_u8(obj, param);
    if (!v) range_error(obj, param, "0 to 255");
    return v;
}

namespace {

thread_local bool exiting = false;

// Waits for `free` with the interpreter lock released, then runs `claim` under the mutex
// before taking the interpreter lock back: nothing can take the hold in between.
template <class Free, class Claim>
void wait_then_claim(std::unique_lock<std::mutex>& lock, std::condition_variable& released, Free free,
                     Claim claim) {
    lock.unlock();
    PyThreadState* state = PyEval_SaveThread();
    {
        std::unique_lock inner(*lock.mutex());
        released.wait(inner, free);
        claim();
    }
    restore_thread(state);
}

}  // namespace

bool thread_exiting() { return exiting; }

void restore_thread(PyThreadState* state) {
    try {
        PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind&) {
        exiting = true;
        throw;
    }
}

namespace {

std::atomic<uint64_t> fork_count{0};
void count_fork_in_child() { fork_count.fetch_add(1, std::memory_order_relaxed); }
[[maybe_unused]] const int fork_handler = ::pthread_atfork(nullptr, nullptr, count_fork_in_child);

}  // namespace

uint64_t HoldCounter::forks() { return fork_count.load(std::memory_order_relaxed); }

void HoldCounter::renew_after_fork() {
    const uint64_t now = forks();
    if (forks_ == now) return;
    // The old mutex and condition may be in any state: made anew in place, never destroyed.
    new (&mutex_) std::mutex();
    new (&released_) std::condition_variable();
    readers_.clear();
    writer_.reset();
    writers_waiting_ = 0;
    waiting_now_ = admitted_ = 0;
    forks_ = now;
}

bool HoldCounter::acquire_shared() {
    renew_after_fork();
    const auto me = std::this_thread::get_id();
    std::unique_lock lock(mutex_);
    if (writer_ == me) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return false;
    }
    // A thread that reads already goes in at once: a writer waiting for it would wait forever.
    const bool reading = std::ranges::find(readers_, me) != readers_.end();
    if (reading || (!writer_ && writers_waiting_ == 0)) {
        readers_.push_back(me);
        return true;
    }
    const uint64_t mine = generation_;
    ++waiting_now_;
    const auto admitted = [&] { return generation_ != mine; };
    wait_then_claim(lock, released_, [&] { return !writer_ && (writers_waiting_ == 0 || admitted()); }, [&] {
        if (admitted()) {
            --admitted_;
        } else {
            --waiting_now_;
        }
        readers_.push_back(me);
    });
    return true;
}

bool HoldCounter::acquire_exclusive() {
    renew_after_fork();
    const auto me = std::this_thread::get_id();
    std::unique_lock lock(mutex_);
    if (writer_ == me || std::ranges::find(readers_, me) != readers_.end()) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return false;
    }
    const auto free = [this] { return !writer_ && readers_.empty() && admitted_ == 0; };
    if (free()) {
        writer_ = me;
        return true;
    }
    ++writers_waiting_;
    wait_then_claim(lock, released_, free, [&] {
        --writers_waiting_;
        writer_ = me;
    });
    return true;
}

void HoldCounter::release_shared() {
    std::lock_guard lock(mutex_);
    readers_.erase(std::ranges::find(readers_, std::this_thread::get_id()));
    released_.notify_all();
}

void HoldCounter::release_exclusive() {
    std::lock_guard lock(mutex_);
    writer_.reset();
    // Every reader waiting now goes in before the next writer.
    if (waiting_now_ > 0) {
        admitted_ += waiting_now_;
        waiting_now_ = 0;
        ++generation_;
    }
    released_.notify_all();
}

void raise_quant_error(const QuantError& error) {
    PyErr_SetString(PyExc_ValueError, error.message().c_str());
}

void raise_row_failure(const parallel::RowFailure& failure) {
    const std::string text = "row " + std::to_string(failure.row) + ": " + failure.error.message();
    PyErr_SetString(PyExc_ValueError, text.c_str());
}

void raise_input_failure(const QuantError& error, std::span<const float> values, const char* param,
                         std::optional<size_t> row) {
    const std::string prefix = row ? "row " + std::to_string(*row) + ": " : "";
    if (error.is<NonFiniteInput>() && check_finite(values)) {
        PyErr_Format(PyExc_ValueError, "%sargument '%s': its values are finite, but rotated they exceed the float32 "
                     "range (values this large cannot be coded): scale the vectors down", prefix.c_str(), param);
        return;
    }
    if (error.is<NonFiniteInput>() || error.is<DimensionMismatch>()) {
        PyErr_Format(PyExc_ValueError, "%sargument '%s': %s", prefix.c_str(), param, error.message().c_str());
        return;
    }
    PyErr_Format(PyExc_ValueError, "%s%s", prefix.c_str(), error.message().c_str());
}

void raise_parameter_error(const QuantError& error) {
    const char* param = error.is<InvalidBitWidth>() ? "bits"
                        : error.is<ZeroDimension>() || error.is<DimensionTooLarge>() || error.is<OddDimension>()
                            ? "dim"
                            : nullptr;
    if (param == nullptr) return raise_quant_error(error);
    PyErr_Format(PyExc_ValueError, "argument '%s': %s", param, error.message().c_str());
}

void raise_row_input_failure(const parallel::RowFailure& failure, const float* rows, size_t dim, const char* param) {
    raise_input_failure(failure.error, {rows + failure.row * dim, dim}, param, failure.row);
}

std::string type_qualname(PyObject* obj) {
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    return utf8;
}

std::optional<std::string> to_path(PyObject* obj) {
    Ref path(PyOS_FSPath(obj));
    if (!path) {
        prefix_type_error("path");
        return std::nullopt;
    }
    Ref encoded(PyUnicode_Check(path.get()) ? PyUnicode_EncodeFSDefault(path.get()) : Ref::borrow(path.get()).release());
    if (!encoded) return std::nullopt;
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) < 0) return std::nullopt;
    std::string text(data, static_cast<size_t>(size));
    if (text.find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "argument 'path': embedded null byte");
        return std::nullopt;
    }
    return text;
}

PyObject* raise_file_error(const io::FileError& error, const std::string& path) {
    if (error.os_errno != 0) {
        errno = error.os_errno;
        return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    }
    const std::string text = path.empty() ? "not a valid index: " + error.message
                                          : "'" + path + "' is not a valid index file: " + error.message;
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return nullptr;
}

std::optional<unsigned> to_threads(PyObject* obj) {
    if (obj == nullptr || obj == Py_None) return 0u;
    Ref index = as_index(obj);
    if (!index) {
        prefix_type_error("threads");
        return std::nullopt;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return std::nullopt;
    if (overflow < 0 || (overflow == 0 && v < 1)) {
        Ref text(PyObject_Repr(index.get()));
        if (!text) return std::nullopt;
        PyErr_Format(PyExc_ValueError,
                     "argument 'threads': expected None or a positive number of threads, got %U",
                     text.get());
        return std::nullopt;
    }
    // More threads than allowed cores run as many as there are cores.
    if (overflow > 0 || v > 1'000'000) return 1'000'000u;
    return static_cast<unsigned>(v);
}

void raise_panic(const char* message, const char* file, unsigned line) {
    std::fprintf(stderr, "quillane: internal invariant failed at %s:%u: %s\n", file, line, message);
    std::fflush(stderr);
    PyObject* type = panic_type();
    if (type == nullptr) return;  // the interpreter's own error stays set
    Ref text(PyUnicode_FromString(message));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

PyObject* alloc_instance(PyTypeObject* type) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    return alloc(type, 0);
}

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

}  // namespace quillane::py
