"""The message of a call whose arguments a compiled method cannot take.

The compiled methods call explain() only when no form of the method takes
the arguments; it reads the method's signatures from its docstring (the
first line of each form, as the binding writes them) and says what is wrong
in the words of a Python function: the method, the parameter, what it takes
and the type given.
"""

import os
import re

_FORM = re.compile(r"^(?:\d+\. )?\w+\((.*)\) -> ", re.M)

# What an annotation of the binding takes, and how to say it.
_TAKES = {
    "str | bytes | bytearray": ((str, bytes, bytearray), "str, bytes or bytearray"),
    "str | bytes | os.PathLike[str]": ((str, bytes, os.PathLike), "str, bytes or os.PathLike"),
    "bool": ((bool,), "True or False"),
    "str": ((str,), "str"),
    "float": ((int, float), "a number"),
    "int | None": ((int, type(None)), "a whole number or None"),
    "float | None": ((int, float, type(None)), "a number or None"),
    "str | None": ((str, type(None)), "str or None"),
    "bool | None": ((bool, type(None)), "True, False or None"),
}


def _parameters(form):
    """[(name, annotation, has_default, kind)] of one signature, kind being
    'positional' (before '/'), 'either' or 'keyword' (after '*')."""
    params, kind, depth, part = [], "either", 0, ""
    pieces = []
    for c in form + ",":
        if c == "," and depth == 0:
            pieces.append(part.strip())
            part = ""
            continue
        depth += c in "[(" and 1 or c in "])" and -1 or 0
        part += c
    for piece in pieces:
        if piece == "/":
            params = [(n, a, d, "positional") for n, a, d, _ in params]
        elif piece == "*":
            kind = "keyword"
        elif piece:
            head, _, default = piece.partition(" = ")
            name, _, annotation = head.partition(": ")
            params.append((name, annotation, bool(default), kind))
    return params[1:]  # not self


def _number(value, kinds):
    return not isinstance(value, (str, bytes, bool)) and any(
        hasattr(type(value), "__%s__" % kind) for kind in kinds)


def _takes(annotation, value):
    """(whether `value` fits `annotation`, the annotation in words)."""
    optional = annotation.endswith(" | None")
    if annotation.startswith("typing.Supports"):
        whole = annotation.startswith("typing.SupportsInt")
        fits = (optional and value is None) or _number(
            value, ("index",) if whole else ("float", "index"))
        words = "a whole number" if whole else "a number"
        return fits, words + (" or None" if optional else "")
    if optional and annotation not in _TAKES:
        if value is None:
            return True, annotation
        fits, words = _takes(annotation[:-len(" | None")], value)
        return fits, words + " or None"
    if annotation in _TAKES:
        types, words = _TAKES[annotation]
        return isinstance(value, types) and (bool in types or not isinstance(value, bool)), words
    if annotation.startswith(("list[", "collections.abc.Sequence[")):
        element = "int" if ("int" in annotation or "Int" in annotation) else "str"
        words = "a list of %s" % ("int ids" if element == "int" else "str (or bytes) tokens")
        if not isinstance(value, (list, tuple)):
            return False, words
        kinds = (int,) if element == "int" else (str, bytes)
        return all(isinstance(v, kinds) for v in value), words
    name = annotation.rsplit(".", 1)[-1]
    if name in ("BM25", "Jieba"):
        return any(c.__name__ == name for c in type(value).__mro__), "a razoduviva.%s" % name
    return True, annotation


def _problem(params, args, kwargs):
    """What is wrong with a call of one form: (parameter, message), or None."""
    positional = [p for p in params if p[3] != "keyword"]
    if len(args) > len(positional):
        return None, "takes %d positional argument%s but %d were given" % (
            len(positional), "" if len(positional) == 1 else "s", len(args))
    given = {p[0]: v for p, v in zip(positional, args)}
    names = {p[0]: p for p in params}
    for name, value in kwargs.items():
        if name not in names or names[name][3] == "positional":
            return None, "got an unexpected keyword argument '%s'" % name
        if name in given:
            return None, "got multiple values for argument '%s'" % name
        given[name] = value
    for name, _, has_default, _ in params:
        if name not in given and not has_default:
            return None, "missing required argument '%s'" % name
    for name, annotation, _, _ in params:
        if name in given:
            fits, words = _takes(annotation, given[name])
            if not fits:
                return name, "argument '%s' must be %s, not %s" % (
                    name, words, type(given[name]).__name__)
    return None, None


def explain(qualname, function, args, kwargs):
    """The TypeError message for calling `function` (public name `qualname`,
    "Jieba.cut" or "BM25()") with `args` (self first) and `kwargs`."""
    forms = _FORM.findall(function.__doc__ or "")
    found = [_problem(_parameters(form), args[1:], kwargs) for form in forms]
    name = qualname if qualname.endswith(")") else qualname + "()"
    problems = [message for _, message in found if message]
    if problems and len(set(problems)) == 1:
        return "%s %s" % (name, problems[0])
    mistyped = {param for param, message in found if param}
    if len(mistyped) == 1 and len(problems) == len(found):
        param = mistyped.pop()
        value = (dict(zip([p[0] for p in _parameters(forms[0])], args[1:]), **kwargs)).get(param)
        takes = " or ".join(sorted({_takes(a, value)[1] for f in forms
                                    for n, a, _, _ in _parameters(f) if n == param}))
        return "%s argument '%s' must be %s, not %s" % (name, param, takes, type(value).__name__)
    given = ", ".join([type(a).__name__ for a in args[1:]] +
                      ["%s=%s" % (k, type(v).__name__) for k, v in kwargs.items()])
    return "%s cannot take the arguments (%s)%s" % (
        name, given, "; " + "; ".join(problems) if problems else "")
