// Cache version tokens derived from the code of Python callables.
//
// A token covers what a callable's own code does: for each function its
// bytecode (with every constant it loads in place of the constant's index),
// its argument counts and flags, the names it uses (globals, attributes,
// locals, free and cell variables), its defaults and keyword defaults, the
// values of its closure cells, and all of this again for the functions and
// lambdas defined inside it. Docstrings, comments, line numbers and source
// positions do not enter, so moving a function or editing its comments
// keeps its token; the same source gives the same token in every process.
// Constants, defaults and closure values are taken in by their content
// digest (content_key.hpp); a closure value or default that is itself a
// function is taken in by its code. Functions that the callable calls
// through globals are not followed.
//
// Callables that are not plain functions: a functools.partial is its
// function plus its arguments and keywords, a bound method its underlying
// function, any other object the __call__ function of its type. Anything
// without Python code (builtins, classes) has no token.
// Requires: the interpreter lock.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>
#include <vector>

namespace quillon::py {

// "code:" followed by 64 hex digits, for the callables of the nodes of one
// label in node order (a null entry stands for a node without a function).
// Throws PythonError: a TypeError naming `label` (as `function` reports it)
// when a callable has no code or a value has no content digest, or the
// exception user code raised on the way.
std::string code_version_token(const std::vector<PyObject*>& callables, std::string_view function,
                               std::string_view label);

}  // namespace quillon::py
