"""Module registration: the names, docs and signatures of the native module, and classes only
a replay can create."""

import importlib
import pickle
import subprocess
import sys
import weakref

import pytest

import vantrel
from helpers.surface import ATTRIBUTES, CLASS_DOCS

NATIVE = sys.modules["vantrel.vantrel"]


def test_module_registration():
    assert NATIVE.__all__ == ["iter_prices_file", *CLASS_DOCS]
    # The package re-exports the module's names first, then adds its own.
    assert vantrel.__all__[:len(NATIVE.__all__)] == NATIVE.__all__
    assert all(hasattr(vantrel, name) for name in vantrel.__all__)
    assert NATIVE.__name__ == "vantrel.vantrel" and NATIVE.__doc__ == ""
    function = NATIVE.iter_prices_file
    assert (function.__name__, function.__module__) == ("iter_prices_file", "vantrel.vantrel")
    assert function.__text_signature__ == "(path)" and function.__doc__ is None
    for name, doc in CLASS_DOCS.items():
        cls = getattr(NATIVE, name)
        assert getattr(vantrel, name) is cls
        assert (cls.__name__, cls.__qualname__, cls.__doc__) == (name, name, doc)
        assert (cls.__module__, repr(cls)) == ("vantrel.vantrel", f"<class 'vantrel.vantrel.{name}'>")
        assert pickle.loads(pickle.dumps(cls)) is cls
        assert cls.__text_signature__ is None
        assert {n for n in dir(cls) if not n.startswith("_")} == ATTRIBUTES[name]


def test_import_and_replay_with_warnings_as_errors(tmp_path):
    # Projects that run with -W error (or filterwarnings = error) must be able to import the
    # package and replay; only the publish-time conversion of the native iterator warns.
    path = tmp_path / "r.json"
    path.write_text('{"op":"mcm","pt":1,"mc":[{"id":"1.1","rc":[{"id":7,"atb":[[1.5,2]]}]}]}\n')
    code = f"import vantrel; print(len(list(vantrel.replay({str(path)!r}))))"
    done = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True, text=True)
    assert (done.returncode, done.stdout, done.stderr) == (0, "1\n", "")


def test_reimport_gives_the_same_module(monkeypatch):
    monkeypatch.delitem(sys.modules, "vantrel.vantrel")
    assert importlib.import_module("vantrel.vantrel") is NATIVE


@pytest.mark.parametrize("name", list(CLASS_DOCS))
def test_classes_have_no_constructor_dict_or_weakref(name, samples):
    cls = getattr(NATIVE, name)
    for args, kwargs in [((), {}), ((1, 2), {"x": 3})]:
        with pytest.raises(TypeError) as error:
            cls(*args, **kwargs)
        assert str(error.value) == f"No constructor defined for {name}"
    instance = samples[name]
    assert type(instance) is cls
    assert not hasattr(instance, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(instance)
    with pytest.raises(AttributeError):
        instance.not_an_attribute = 1
