// The call frame shared by both classes: references, argument binding, integer
// conversion, instance holds and the translation of core failures.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>
#include <mutex>

#include "error.hpp"
#include "io/index_file.hpp"
#include "parallel/rows.hpp"

namespace quillane::py {

// Whether this thread is being ended by the interpreter (it took the interpreter lock
// back after the interpreter began to finalize): the unwinding must reach the thread's
// start untouched, and no reference may be released on the way, since the lock is not
// held.
bool thread_exiting();

// PyEval_RestoreThread, noting the thread's end when the interpreter ends it there.
void restore_thread(PyThreadState* state);

// Owns one strong reference; every error path releases it.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : p_(owned) {}
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& o) noexcept : p_(o.release()) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = o.release();
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() {
        if (!thread_exiting()) Py_XDECREF(p_);
    }

    PyObject* get() const { return p_; }
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

struct Param {
    const char* name;
    bool required;
    bool keyword_only = false;  // after every positional parameter
};

// Positional-or-keyword (and keyword-only) binding with the interpreter's messages. `out[i]` receives a
// borrowed reference or nullptr for an absent optional parameter.
bool bind_arguments(const char* function, std::span<const Param> params, PyObject* args,
                    PyObject* kwargs, PyObject** out);

// Unsigned 64-bit through __index__; TypeError gets the "argument '{}': " prefix.
std::optional<uint64_t> to_u64(PyObject* obj, const char* param);
// to_u64 and to_u8 for the project's own classes: an int out of range raises OverflowError
// naming the argument, the range and the value.
std::optional<uint64_t> to_count(PyObject* obj, const char* param);
std::optional<uint8_t> to_byte(PyObject* obj, const char* param);
// Unsigned 8-bit through a signed long; outside 0..255 is an OverflowError.
std::optional<uint8_t> to_u8(PyObject* obj, const char* param);

// Replaces a pending exception of exactly TypeError by "argument '{}': {}".
void prefix_type_error(const char* param);

// Free, shared holds (readers), or one exclusive hold (a writer). A conflict with a
// hold of the calling thread itself (an argument's __index__ calling back into the
// object) is refused with RuntimeError; a conflict with another thread's hold waits,
// without the interpreter lock, until that hold ends. Neither side starves: a waiting
// writer keeps new readers out (a thread that already reads may read again), and when a
// writer lets go, every reader that was waiting then goes in before the next writer.
// A child of fork() starts with no holds: the parent's other threads, which held them, do
// not exist there, and would otherwise block the child's writers forever.
class HoldCounter {
public:
    bool acquire_shared();     // RuntimeError "Already mutably borrowed" when refused
    bool acquire_exclusive();  // RuntimeError "Already borrowed" when refused
    void release_shared();
    void release_exclusive();
    // How many times this process's line has forked (the child's count is its parent's + 1):
    // a hold taken under another count belongs to a parent and is not released here.
    static uint64_t forks();

private:
    // Called with the interpreter lock held, before the mutex is taken: in a new child,
    // forgets the parent's holds and makes the mutex afresh (another thread may have held
    // it at the fork).
    void renew_after_fork();

    uint64_t forks_ = forks();
    std::mutex mutex_;
    std::condition_variable released_;
    std::vector<std::thread::id> readers_;  // one entry per shared hold
    std::optional<std::thread::id> writer_;
    unsigned writers_waiting_ = 0;
    // Readers wait in generations: a writer's release admits the current one.
    uint64_t generation_ = 0;
    size_t waiting_now_ = 0;  // readers waiting in the current generation
    size_t admitted_ = 0;     // readers of released generations not yet in
};

// Holds an instance for the duration of a call, released on every path.
class Hold {
public:
    enum Kind { Shared, Exclusive };
    Hold(HoldCounter& c, Kind kind)
        : c_(c), kind_(kind), held_(kind == Shared ? c.acquire_shared() : c.acquire_exclusive()) {}
    ~Hold() {
        if (!held_ || forks_ != HoldCounter::forks()) return;  // taken before a fork: the child has none
        if (kind_ == Shared) {
            c_.release_shared();
        } else {
            c_.release_exclusive();
        }
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    bool held() const { return held_; }

private:
    HoldCounter& c_;
    Kind kind_;
    bool held_;
    uint64_t forks_ = HoldCounter::forks();
};

// ValueError carrying the core's message.
void raise_quant_error(const QuantError& error);
// ValueError "row {row}: {the core's message}" for a batch's lowest failing row.
void raise_row_failure(const parallel::RowFailure& failure);
// The core's refusal of an input vector (`row`: a batch's, or none) of the compact classes,
// naming the argument where the vector is at fault (its values or length); a vector of
// finite values whose rotation overflowed (the core then names the rotated value) is said
// to be so.
void raise_input_failure(const QuantError& error, std::span<const float> values, const char* param,
                         std::optional<size_t> row = std::nullopt);
// A compact class's constructor refused: ValueError naming the argument ('dim' or 'bits')
// before the core's message.
void raise_parameter_error(const QuantError& error);
// The same for a batch's lowest failing row of `rows` (rows of dim values).
void raise_row_input_failure(const parallel::RowFailure& failure, const float* rows, size_t dim, const char* param);

// The __qualname__ of an object's type, for messages.
std::string type_qualname(PyObject* obj);

// A file system path from str, bytes or os.PathLike (TypeError otherwise).
std::optional<std::string> to_path(PyObject* obj);

// OSError (with errno and the path) for a system error, ValueError with the message
// for content that is not a valid index file; returns nullptr.
PyObject* raise_file_error(const io::FileError& error, const std::string& path);

// The keyword-only `threads` of every batch call: absent or None -> 0 (every allowed
// core), else a positive integer through __index__ (ValueError for 0 or less).
std::optional<unsigned> to_threads(PyObject* obj);

// body() with the interpreter lock released: no Python object may be touched inside.
// Exceptions pass through with the lock taken again.
template <class Body> auto without_gil(Body&& body) {
    PyThreadState* state = PyEval_SaveThread();
    try {
        auto result = body();
        restore_thread(state);
        return result;
    } catch (abi::__forced_unwind&) {
        throw;  // the interpreter is ending this thread
    } catch (...) {
        restore_thread(state);
        throw;
    }
}

// PanicException(message), after a diagnostic with the source location on stderr.
void raise_panic(const char* message, const char* file, unsigned line);

// Runs a method body; core exceptions become Python exceptions, never an abort. The
// unwinding of a thread that the interpreter ends passes through.
template <class Body> PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();  // a buffer larger than any allocation can be
    } catch (const InvariantFailure& e) {
        raise_panic(e.what(), e.where().file_name(), e.where().line());
    } catch (const std::exception& e) {
        raise_panic(e.what(), __FILE__, __LINE__);
    } catch (...) {
        raise_panic("unknown native exception", __FILE__, __LINE__);
    }
    return nullptr;
}

// A method table entry's function pointer.
template <class F> inline PyCFunction method(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// The type's own slots, for heap types under the limited API.
PyObject* alloc_instance(PyTypeObject* type);
void free_instance(PyObject* self);

}  // namespace quillane::py
