// Declared indexes: insertion from specification texts, deletion, and
// dropping and re-creating every recorded index.
//
// An index record keeps the complete argument list of the index model as
// text: the caller's specification T followed by ", name=" and the index
// name N written as a string literal (for an ordinary name, "'" + N + "'").
// Both insertion and activation turn exactly that text into an `IndexModel`
// through `index_model` below, which reads it as data (literal values only)
// and never runs it.
#include "operations.hpp"

namespace kestrel::functions {

namespace {

// The longest index text read: far above any real index specification, far
// below what makes the parser slow (it needs seconds and gigabytes for a few
// megabytes of nested brackets). Counted in UTF-8 bytes, the form the parser
// reads and the record stores.
constexpr Py_ssize_t max_index_text = 64 * 1024;

[[noreturn]] void refuse(nb::handle index_name, const nb::python_error *cause = nullptr) {
    raise_error(PyExc_ValueError,
                cat("index ", nb::repr(index_name),
                    ": only literal values are allowed in an index specification"),
                cause);
}

bool is_instance(nb::handle obj, nb::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw_pending();
    return r == 1;
}

// The value of one argument node: a literal (numbers, texts, bools, None and
// containers of them), or a refusal naming the index.
nb::object literal(nb::handle ast, nb::handle node, nb::handle index_name) {
    try {
        return ast.attr("literal_eval")(node);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
        refuse(index_name, &e);
    }
}

// IndexModel(<code>) for the argument-list text `code` of an index record.
// The text is parsed as the arguments of a call, every argument must be a
// literal, and the module's `IndexModel` is called with the values. A text
// that is not valid source raises SyntaxError (as does a repeated keyword,
// such as a second `name`); anything but literals raises ValueError naming
// the index; the index model's own checks raise their errors.
nb::object index_model(nb::handle code, nb::handle index_name) {
    nb::str text = to_text(code);
    // Measured before anything is parsed. (A text with a lone surrogate has
    // no UTF-8 form; the parser refuses it before reading it.)
    if (PyUnicode_GET_LENGTH(text.ptr()) > max_index_text ||
        (PyUnicode_GET_LENGTH(text.ptr()) * 4 > max_index_text && utf8_size(text) > max_index_text))
        raise_error(PyExc_ValueError, cat("index ", nb::repr(index_name),
                                          ": the index specification is longer than ",
                                          nb::int_(max_index_text), " bytes"));
    nb::module_ ast = nb::module_::import_("ast");
    nb::str source = cat("_(", text, ")");
    nb::object tree = ast.attr("parse")(source, nb::arg("mode") = "eval");
    nb::object call = tree.attr("body");
    if (!is_instance(call, ast.attr("Call"))) refuse(index_name);
    nb::object func = call.attr("func");
    if (!is_instance(func, ast.attr("Name")) || !func.attr("id").equal(nb::str("_")))
        refuse(index_name);
    // The call must span the whole source: a comment in the text could
    // otherwise hide what follows it, the name option included.
    if (!ast.attr("get_source_segment")(source, call).equal(source)) refuse(index_name);

    nb::object starred = ast.attr("Starred");
    nb::list args;
    for (nb::handle node : call.attr("args")) {
        if (is_instance(node, starred)) refuse(index_name);
        args.append(literal(ast, node, index_name));
    }
    nb::dict kwargs;
    for (nb::handle kw : call.attr("keywords")) {
        nb::object key = kw.attr("arg");
        if (key.is_none()) refuse(index_name);  // **mapping
        if (kwargs.contains(key))
            raise_error(PyExc_SyntaxError,
                        cat("index ", nb::repr(index_name), ": keyword argument repeated: ", key),
                        nullptr);
        kwargs[key] = literal(ast, kw.attr("value"), index_name);
    }
    PyObject *model = PyObject_Call(global("IndexModel").ptr(), nb::tuple(args).ptr(), kwargs.ptr());
    if (!model) throw_pending();
    return nb::steal(model);
}

// T + ", name=" + the literal of N, with the interpreter's own `+` (a T or
// N that is not text fails here with its TypeError, as T + ", name='" + N
// does).
nb::object record_code(nb::handle spec, nb::handle index_name) {
    nb::object code = steal_or_throw(PyNumber_Add(spec.ptr(), nb::str(", name=").ptr()));
    if (PyUnicode_Check(index_name.ptr())) return concat(code, text_literal(index_name));
    code = steal_or_throw(PyNumber_Add(code.ptr(), nb::str("'").ptr()));
    code = steal_or_throw(PyNumber_Add(code.ptr(), index_name.ptr()));
    return steal_or_throw(PyNumber_Add(code.ptr(), nb::str("'").ptr()));
}

bool equals(nb::handle a, const char *text) {
    int r = PyObject_RichCompareBool(a.ptr(), nb::str(text).ptr(), Py_EQ);
    if (r < 0) throw_pending();
    return r == 1;
}

}  // namespace

// insert_index(client, db_name, collection_name, index): check every name,
// build every model and record, then one create_indexes and one insert_many.
Body insert_index(Args a) {
    nb::handle client = a[0], db_name = a[1], collection_name = a[2], index = a[3];
    return framed(client, "Can not create indexes.", {"insert_index", db_name, collection_name},
                  [=](OpLog &log) -> Body {
        Held<> db = co_await access_check(client, db_name, collection_name);
        Held<> collection = item(db, collection_name);
        Held<> manage_collection = item(db, names::manage(collection_name));

        Held<nb::list> indexes;
        Held<nb::list> manage_collection_docs;
        // The names as they are when the call starts; the dict may be the
        // caller's and change while we wait on the server.
        Held<nb::list> index_names = list_from(index);
        for (nb::handle name : index_names) {
            Held<> spec = item(index, name);
            if (equals(name, "_id_")) raise_runtime(cat("'", name, "' is in the index_list."));
            Held<> found = co_await driver(manage_collection, "find_one", doc("type", nb::str("index"), "name", name));
            if (!found.is_none()) raise_runtime(cat("'", name, "' is in the index_list."));
            nb::object code = record_code(spec, name);
            indexes.append(index_model(code, name));
            manage_collection_docs.append(doc("type", nb::str("index"), "name", name, "code", code));
        }
        if (nb::len(indexes) != 0) {
            co_await driver(collection, "create_indexes", indexes);
            co_await driver(manage_collection, "insert_many", manage_collection_docs);
        }
        if (log) log.done("%s %s.%s: created indexes %s in %.3f s", {figure("indexes", index_names)});
        co_return nb::none();
    });
}

// delete_index(client, db_name, collection_name, index_name): drop the index,
// then every record of that name.
Body delete_index(Args a) {
    nb::handle client = a[0], db_name = a[1], collection_name = a[2], index_name = a[3];
    return framed(client, message("Can not delete '", index_name, "'!"), {"delete_index", db_name, collection_name},
                  [=](OpLog &log) -> Body {
        Held<> db = co_await access_check(client, db_name, collection_name);
        Held<> collection = item(db, collection_name);
        Held<> manage_collection = item(db, names::manage(collection_name));
        co_await driver(collection, "drop_index", index_name);
        co_await driver(manage_collection, "delete_many", doc("type", nb::str("index"), "name", index_name));
        if (log) log.done("%s %s.%s: dropped index %s in %.3f s", {figure("index", index_name)});
        co_return nb::none();
    });
}

// deactive_index(client, db_name, collection_name): drop every index of the
// main collection but `_id_`; the records stay.
Body deactive_index(Args a) {
    nb::handle client = a[0], db_name = a[1], collection_name = a[2];
    // Taken before the frame: a name the driver refuses is reported as is.
    Held<> db = item(client, db_name);
    Held<> collection = item(db, collection_name);
    co_return co_await framed(client, "Can not deactive indexes of collection!",
                              {"deactive_index", db_name, collection_name}, [&](OpLog &log) -> Body {
        db = co_await access_check(client, db_name, collection_name);
        collection = item(db, collection_name);
        co_await driver(collection, "drop_indexes");
        if (log) log.done("%s %s.%s: dropped every index but _id_ in %.3f s", {});
        co_return nb::none();
    });
}

// active_index(client, db_name, collection_name): one model per index record,
// all built before the single create_indexes.
Body active_index(Args a) {
    nb::handle client = a[0], db_name = a[1], collection_name = a[2];
    return framed(client, "Can not active indexes of collection!", {"active_index", db_name, collection_name},
                  [=](OpLog &log) -> Body {
        Held<> db = co_await access_check(client, db_name, collection_name);
        Held<> collection = item(db, collection_name);
        Held<> manage_collection = item(db, names::manage(collection_name));

        Held<nb::list> indexes, index_names;
        Held<> records = aiter(invoke(manage_collection, "find", doc("type", interned("index")))), record;
        while (co_await next_item(records, record)) {
            nb::object code = item(record, interned("code"));
            nb::object name = invoke(record, "get", interned("name"));
            indexes.append(index_model(code, name));
            if (log) index_names.append(name);
        }
        if (nb::len(indexes) != 0) co_await driver(collection, "create_indexes", indexes);
        if (log) log.done("%s %s.%s: re-created indexes %s in %.3f s", {figure("indexes", index_names)});
        co_return nb::none();
    });
}

}  // namespace kestrel::functions
