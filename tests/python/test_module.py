"""The module surface: registration, signatures, argument binding, exceptions."""

import inspect

import pytest

import velatro._native as native

ORDER = [
    "validate",
    "validate_strict",
    "validate_schema",
    "validate_semantics",
    "parse",
    "compile_ir",
    "diff",
    "hash",
    "plan",
    "reconcile_local",
]
PARAMS = {"diff": ["yaml_a", "yaml_b"], "reconcile_local": ["yaml_str", "entities_json"]}


def registered():
    return [name for name in native.__dict__ if name in ORDER]


def test_functions_are_registered_in_order_with_text_signatures():
    names = registered()
    assert names == ORDER
    public = [n for n in dir(native) if not n.startswith("_")]
    assert sorted(public) == sorted(ORDER + ["PanicException"])
    for name in names:
        fn = getattr(native, name)
        params = list(inspect.signature(fn).parameters)
        assert params == PARAMS.get(name, ["yaml_str"])
        assert all(
            p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
            for p in inspect.signature(fn).parameters.values()
        )
        assert fn.__doc__ is None or fn.__doc__ == ""
    assert native.__doc__ == ""


def test_panic_exception_derives_directly_from_base_exception():
    assert native.PanicException.__bases__ == (BaseException,)
    assert not issubclass(native.PanicException, Exception)


@pytest.mark.parametrize(
    "call, fragment",
    [
        (lambda: native.parse(), "parse() missing 1 required positional argument: 'yaml_str'"),
        (lambda: native.parse("a", "b"), "parse() takes 1 positional argument but 2 were given"),
        (lambda: native.parse("a", yaml_str="a"), "parse() got multiple values for argument 'yaml_str'"),
        (lambda: native.parse(yaml="a"), "parse() got an unexpected keyword argument 'yaml'"),
        (lambda: native.hash(1), "argument 'yaml_str': expected str, got int"),
        (lambda: native.hash(b"a: 1"), "argument 'yaml_str': expected str, got bytes"),
    ],
)
def test_argument_errors_are_type_errors(call, fragment):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == fragment


def test_keyword_binding_works():
    assert native.parse(yaml_str="a: 1") == {"a": 1}


def test_lone_surrogates_raise_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError):
        native.parse("a: \ud800")


def test_diff_keyword_only_second_argument_names_the_missing_first():
    with pytest.raises(TypeError) as info:
        native.diff(yaml_b="a: 1")
    assert str(info.value) == "diff() missing 1 required positional argument: 'yaml_a'"
