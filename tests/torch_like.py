"""Expectations taken from the running torch: where halcyra does what the
tensor library does (its exceptions, their messages, its results on empty or
odd inputs), the tests run the plain formulation on the same inputs and expect
its outcome, whatever the installed version makes of it."""
import pytest


def outcome(fn, *args, **kwargs):
    """(result, None) when fn returns, (None, exception) when it raises."""
    try:
        return fn(*args, **kwargs), None
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome
        return None, exc


def error_of(fn, *args, **kwargs):
    """The exception the plain expression fn(*args) raises on this torch; the
    test is wrong (not halcyra) when it no longer raises one."""
    _, exc = outcome(fn, *args, **kwargs)
    assert exc is not None, f"{getattr(fn, '__name__', fn)} no longer fails on this torch"
    return exc


def same_error(got, want, message=True):
    """got is an exception of want's exact type (and, with message, its text)."""
    assert type(got) is type(want), (got, want)
    if message:
        assert str(got) == str(want), (str(got), str(want))


def raises_like(want, fn, *args, message=True, **kwargs):
    """fn(*args) raises what the plain formulation raised (`want`)."""
    with pytest.raises(Exception) as info:
        fn(*args, **kwargs)
    same_error(info.value, want, message)
    return info.value


def same_outcome(ours, theirs, equal, message=True):
    """The zero-argument calls ours and theirs both raise the same exception
    or both return, with equal(ours_result, theirs_result) asserting the rest."""
    got, exc = outcome(ours)
    want, want_exc = outcome(theirs)
    if want_exc is not None:
        assert exc is not None, f"the plain formulation raises {want_exc!r}, ours returned"
        same_error(exc, want_exc, message)
    else:
        assert exc is None, f"ours raised {exc!r}, the plain formulation returned"
        equal(got, want)
