#include "frame/exceptions.hpp"

#include <exception>
#include <ios>
#include <new>
#include <stdexcept>
#include <typeinfo>

#include "frame/messages.hpp"

namespace norvale::frame {

void raise_from_cpp_exception() noexcept {
    if (PyErr_Occurred()) return;
    // Most derived kinds first: each catch takes the first base class that matches.
    try {
        throw;
    } catch (const std::bad_alloc &error) {
        PyErr_SetString(PyExc_MemoryError, error.what());
    } catch (const std::bad_cast &error) {
        PyErr_SetString(PyExc_TypeError, error.what());
    } catch (const std::bad_typeid &error) {
        PyErr_SetString(PyExc_TypeError, error.what());
    } catch (const std::domain_error &error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const std::invalid_argument &error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const std::ios_base::failure &error) {
        PyErr_SetString(PyExc_IOError, error.what());
    } catch (const std::out_of_range &error) {
        PyErr_SetString(PyExc_IndexError, error.what());
    } catch (const std::overflow_error &error) {
        PyErr_SetString(PyExc_OverflowError, error.what());
    } catch (const std::range_error &error) {
        PyErr_SetString(PyExc_ArithmeticError, error.what());
    } catch (const std::underflow_error &error) {
        PyErr_SetString(PyExc_ArithmeticError, error.what());
    } catch (const std::exception &error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, message::unknown_exception);
    }
}

}  // namespace norvale::frame
