"""The module frame every extension shares: module object, import guards, function objects."""

import builtins
import copy
import importlib
import importlib.machinery
import inspect
import json
import pickle
import re
import shutil
import subprocess
import sys
import sysconfig
import textwrap
import warnings
from pathlib import Path

import numpy
import pytest

from helpers import FUNCTIONS, MODULES, dotted, load, preserved_namespace, traceback_function_names

# The ImportError that ends the import of a module that binds the NumPy C-API in its exec step,
# when NumPy cannot be imported.
NUMPY_BINDING_FAILURE = (
    "numpy.core.multiarray failed to import (auto-generated because you didn't call "
    "'numpy.import_array()' after cimporting numpy; use '<void>numpy._import_array' to "
    "disable if you are certain you don't need it)."
)
NUMPY_AT_EXEC = sorted(name for name, facts in MODULES.items() if facts.numpy_at_exec)

# Parameter names followed by the local names, as each function's code object lists them.
MEMBER_MASK_VARNAMES = ("elements", "test_elements", "test_set", "return_list_array", "return_list", "e")
CODE_VARNAMES = {
    ("member_mask", name): (MEMBER_MASK_VARNAMES, 2)
    for name in (
        "member_mask_long",
        "member_mask_schar",
        "member_mask_ushort",
        "member_mask_double",
        "member_mask_long_in_ushort",
    )
}

# Modules that bind `np` as a module global used by their function bodies, with a call that
# reaches the first use of it.
NP_CALLS = {name: facts.np_call for name, facts in MODULES.items() if facts.np_call}

INTERPRETER_CHANGE = (
    "Interpreter change detected - this module can only be loaded into one interpreter per process."
)


def function_of(module, name):
    return getattr(load(module), name)


def run_python(script, cwd):
    """Runs a script in a fresh interpreter of this environment against the installed package."""
    completed = subprocess.run(
        [sys.executable, "-P", "-c", textwrap.dedent(script)],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert completed.returncode == 0, completed.stderr
    return completed.stdout


@pytest.fixture(params=list(MODULES))
def module_name(request):
    return request.param


@pytest.fixture(params=FUNCTIONS, ids=[f"{m}.{f}" for m, f in FUNCTIONS])
def function(request):
    module, name = request.param
    return function_of(module, name)


class TestModuleObject:
    def test_attributes_set_from_the_spec(self, module_name):
        module = load(module_name)
        import_spec = module.__spec__
        assert module.__name__ == dotted(module_name)
        assert module.__package__ == "norvale.cython"
        assert module.__loader__ is import_spec.loader
        assert isinstance(module.__loader__, importlib.machinery.ExtensionFileLoader)
        assert module.__file__ == import_spec.origin
        assert not hasattr(module, "__path__")

    def test_loaded_from_the_installed_package(self, module_name):
        path = Path(load(module_name).__file__)
        assert path.name == module_name + importlib.machinery.EXTENSION_SUFFIXES[0]
        assert path.parent.parts[-2:] == ("norvale", "cython")
        assert path.is_relative_to(sysconfig.get_path("platlib")) or path.is_relative_to(
            sysconfig.get_path("purelib")
        )

    def test_builtins_and_test_dict(self, module_name):
        namespace = vars(load(module_name))
        assert namespace["__builtins__"] is builtins
        assert type(namespace["__test__"]) is dict and namespace["__test__"] == {}
        assert list(namespace)[-1] == "__test__", "__test__ is set last"

    def test_docstring(self, module_name):
        doc = load(module_name).__doc__
        if MODULES[module_name].documented:
            assert isinstance(doc, str) and doc.strip()
        else:
            assert doc is None

    def test_repeated_import_gives_the_same_module(self, module_name):
        name = dotted(module_name)
        module = importlib.import_module(name)
        # The objects the exec step binds (the interpreter itself renews __spec__ and the docstring).
        bound = {key: value for key, value in vars(module).items() if not key.startswith("__")}
        bound |= {key: vars(module)[key] for key in ("__builtins__", "__test__")}
        assert importlib.import_module(name) is module
        assert importlib.reload(module) is module
        del sys.modules[name]
        try:
            assert importlib.import_module(name) is module
        finally:
            sys.modules[name] = module
        # The exec step did not run again: every object it bound is still the one bound at import.
        assert [key for key, value in bound.items() if vars(module)[key] is not value] == []

    def test_exports_only_its_init_symbol(self, module_name):
        nm = shutil.which("nm")
        if nm is None:
            pytest.skip("nm is not available")
        listing = subprocess.run(
            [nm, "-D", "--defined-only", load(module_name).__file__],
            capture_output=True,
            text=True,
            check=True,
        ).stdout
        symbols = {line.split()[-1] for line in listing.splitlines() if line.strip()}
        assert symbols == {f"PyInit_{module_name}"}


class TestImportGuards:
    def test_second_interpreter_is_refused(self, module_name, tmp_path):
        """A shared-GIL subinterpreter cannot load a module the main interpreter has loaded."""
        # The interpreter's own test module for subinterpreters: renamed in 3.13, where a
        # shared-GIL interpreter is the 'legacy' configuration.
        name, config = ("_interpreters", "'legacy'") if sys.version_info >= (3, 13) else ("_xxsubinterpreters", "")
        try:
            importlib.import_module(name)
        except ImportError:
            pytest.skip("this interpreter provides no subinterpreter test module")
        outcome_file = tmp_path / "outcomes.json"
        stdout = run_python(
            f"""
            import importlib, json, sys
            import {name} as interpreters

            module = importlib.import_module({dotted(module_name)!r})
            attempt = '''
            import json, sys
            sys.path[:] = {sys.path!r}
            outcomes = []
            for _ in range(2):
                try:
                    import {dotted(module_name)}
                except ImportError as exc:
                    outcomes.append([type(exc).__name__, str(exc)])
                else:
                    outcomes.append(["imported", ""])
            with open({str(outcome_file)!r}, "w") as f:
                json.dump(outcomes, f)
            '''
            sub = interpreters.create({config or "isolated=False"})
            try:
                interpreters.run_string(sub, attempt)
            finally:
                interpreters.destroy(sub)
            # The main interpreter's module is unharmed.
            print(importlib.import_module({dotted(module_name)!r}) is module)
            """,
            cwd=tmp_path,
        )
        assert stdout.split() == ["True"]
        assert json.loads(outcome_file.read_text()) == [["ImportError", INTERPRETER_CHANGE]] * 2

    def test_no_version_warning_on_the_interpreter_it_was_built_for(self, module_name, tmp_path):
        # Warnings as errors: a warning about the version would end the import.
        stdout = run_python(
            f"""
            import importlib, warnings
            warnings.simplefilter("error")
            print(importlib.import_module({dotted(module_name)!r}).__name__)
            """,
            cwd=tmp_path,
        )
        assert stdout.split() == [dotted(module_name)]

    @pytest.mark.parametrize("module_name", NUMPY_AT_EXEC)
    def test_failed_numpy_binding_ends_the_import_and_a_later_import_succeeds(
        self, module_name, tmp_path
    ):
        stdout = run_python(
            f"""
            import importlib, json, sys
            sys.modules["numpy"] = None  # every import of numpy now fails
            try:
                importlib.import_module({dotted(module_name)!r})
            except ImportError as exc:
                names = []
                tb = exc.__traceback__
                while tb is not None:
                    names.append(tb.tb_frame.f_code.co_name)
                    tb = tb.tb_next
                first = [type(exc).__name__, str(exc), names]
            else:
                first = ["imported", "", []]
            del sys.modules["numpy"]
            module = importlib.import_module({dotted(module_name)!r})
            print(json.dumps([first, module.__name__, {dotted(module_name)!r} in sys.modules]))
            """,
            cwd=tmp_path,
        )
        (kind, message, names), name, registered = json.loads(stdout)
        assert (kind, message) == ("ImportError", NUMPY_BINDING_FAILURE)
        assert names.count(f"init {dotted(module_name)}") == 1
        assert (name, registered) == (dotted(module_name), True)


class TestFunctionAttributes:
    def test_plain_attributes(self, function):
        module = sys.modules[function.__module__]
        name = next(key for key, value in vars(module).items() if value is function)
        assert function.__name__ == name
        assert function.__qualname__ == name
        assert function.__module__ in {dotted(m) for m in MODULES}
        assert function.__globals__ is vars(module)
        assert function.__closure__ is None
        assert function.__kwdefaults__ is None
        assert function.__annotations__ == {}

    def test_docstring_starts_with_its_signature(self, function):
        first, blank, *description = function.__doc__.splitlines()
        assert first.startswith(function.__name__ + "(") and first.endswith(")")
        assert blank == ""
        assert description and description[0].strip()
        # Memoryview declarations such as "uint8_t[:, :]" hold commas of their own.
        parameters = re.sub(r"\[[^\]]*\]", "", first[len(function.__name__) + 1 : -1])
        documented = [part.split("=")[0].split()[-1] for part in parameters.split(",") if part.strip()]
        assert list(inspect.signature(function).parameters) == documented

    @pytest.mark.parametrize("key", sorted(CODE_VARNAMES), ids=lambda key: ".".join(key))
    def test_code_object_and_signature(self, key):
        varnames, argcount = CODE_VARNAMES[key]
        function = function_of(*key)
        code = function.__code__
        assert code.co_varnames == varnames
        assert code.co_argcount == argcount
        assert (code.co_posonlyargcount, code.co_kwonlyargcount) == (0, 0)
        assert function.__defaults__ is None
        parameters = inspect.signature(function).parameters.values()
        assert [(p.name, p.kind, p.default) for p in parameters] == [
            (name, inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty)
            for name in varnames[:argcount]
        ]

    def test_attribute_dict_is_writable(self, function):
        sentinel = object()
        function.probe = sentinel
        try:
            assert function.__dict__["probe"] is sentinel
        finally:
            del function.probe
        assert "probe" not in function.__dict__

    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_pickled_by_reference(self, function, protocol):
        assert pickle.loads(pickle.dumps(function, protocol)) is function

    def test_copies_are_the_function_itself(self, function):
        assert copy.copy(function) is function
        assert copy.deepcopy(function) is function


class TestFunctionSetters:
    @pytest.mark.parametrize(
        "attribute, value, message",
        [
            ("__name__", 1, "__name__ must be set to a string object"),
            ("__name__", b"name", "__name__ must be set to a string object"),
            ("__qualname__", None, "__qualname__ must be set to a string object"),
            ("__defaults__", [1], "__defaults__ must be set to a tuple object"),
            ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
            ("__annotations__", [], "__annotations__ must be set to a dict object"),
        ],
        ids=["name-int", "name-bytes", "qualname-none", "defaults-list", "kwdefaults-tuple", "annotations-list"],
    )
    def test_wrong_type_is_refused(self, function, attribute, value, message):
        before = getattr(function, attribute)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            with pytest.raises(TypeError, match=re.escape(message)):
                setattr(function, attribute, value)
        assert getattr(function, attribute) == before

    @pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
    def test_names_cannot_be_deleted(self, function, attribute):
        before = getattr(function, attribute)
        with pytest.raises(TypeError):
            delattr(function, attribute)
        assert getattr(function, attribute) == before

    @pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
    def test_names_can_be_set_to_a_string(self, function, attribute):
        before = getattr(function, attribute)
        try:
            setattr(function, attribute, "renamed")
            assert getattr(function, attribute) == "renamed"
        finally:
            setattr(function, attribute, before)

    @pytest.mark.parametrize(
        "attribute, value",
        [
            ("__defaults__", (1, 2)),
            ("__defaults__", None),
            ("__kwdefaults__", {"elements": 1, "test_elements": 2}),
            ("__kwdefaults__", None),
        ],
        ids=["defaults-tuple", "defaults-none", "kwdefaults-dict", "kwdefaults-none"],
    )
    def test_defaults_change_warns_and_does_not_affect_calls(self, function, attribute, value):
        too_many = tuple(range(20))  # refused by every function, with or without parameters
        with pytest.raises(TypeError) as unchanged:
            function(*too_many)
        original = getattr(function, attribute)
        try:
            with pytest.warns(RuntimeWarning):
                setattr(function, attribute, value)
            with pytest.raises(TypeError, match=re.escape(str(unchanged.value))):
                function(*too_many)
        finally:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)
                setattr(function, attribute, original)

    def test_annotations_can_be_set(self, function):
        try:
            function.__annotations__ = {"elements": "ndarray"}
            assert function.__annotations__ == {"elements": "ndarray"}
            function.__annotations__ = None  # accepted like a dict
        finally:
            function.__annotations__ = {}
        assert function.__annotations__ == {}


class TestCalls:
    def test_failure_gains_one_traceback_entry_named_by_the_function(self, function):
        too_many = [object()] * (function.__code__.co_argcount + 1)
        with pytest.raises(TypeError) as excinfo:
            function(*too_many)
        qualified = f"{function.__module__}.{function.__name__}"
        assert traceback_function_names(excinfo.value).count(qualified) == 1

    def test_binding_failure_is_named_too(self, member_mask):
        with pytest.raises(ValueError) as excinfo:
            member_mask.member_mask_long(numpy.zeros((2, 2), dtype=numpy.int64), None)
        names = traceback_function_names(excinfo.value)
        assert names.count("norvale.cython.member_mask.member_mask_long") == 1

    def test_repeated_failure_reuses_its_traceback_code_object(self, member_mask):
        def failing_entry_code():
            with pytest.raises(ValueError) as excinfo:
                member_mask.member_mask_long(numpy.zeros((2, 2), dtype=numpy.int64), None)
            tb = excinfo.value.__traceback__
            while tb.tb_frame.f_code.co_name != "norvale.cython.member_mask.member_mask_long":
                tb = tb.tb_next
            return tb.tb_frame.f_code

        assert failing_entry_code() is failing_entry_code()

    @pytest.mark.parametrize("module_name", sorted(NP_CALLS))
    def test_globals_are_looked_up_at_each_call(self, module_name):
        module = load(module_name)
        call = NP_CALLS[module_name]
        with preserved_namespace(vars(module)) as namespace:
            del namespace["np"]
            with pytest.raises(NameError, match=re.escape("name 'np' is not defined")):
                call(module)
            # Missing from the module dict, the name is found in builtins.
            builtins.np = numpy
            try:
                call(module)
            finally:
                del builtins.np
            namespace["np"] = numpy
            call(module)
