// Declared indexes: insertion from specification texts, deletion, and
// dropping and re-creating every recorded index.
//
// An index record keeps the complete argument list of the index model as
// text: the caller's specification T followed by ", name='" + N + "'". Both
// insertion and activation turn exactly that text into an `IndexModel`
// through `index_model` below, which reads it as data (literal values only)
// and never runs it.
#include "operations.hpp"

namespace kestrel::functions {

namespace {

// raise <type>(message), with `cause` as its cause when given.
[[noreturn]] void raise_error(PyObject *type, nb::handle message, const nb::python_error *cause) {
    PyObject *exc = PyObject_CallOneArg(type, message.ptr());
    if (!exc) throw_pending();
    if (cause) {
        PyException_SetCause(exc, Py_NewRef(cause->value().ptr()));
        PyException_SetContext(exc, Py_NewRef(cause->value().ptr()));
    }
    restore_error(exc);
    throw_pending();
}

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
    nb::module_ ast = nb::module_::import_("ast");
    nb::str source = cat("_(", code, ")");
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

// T + ", name='" + N + "'", with the interpreter's own `+` (a T that is not
// text fails here with its TypeError).
nb::object record_code(nb::handle spec, nb::handle index_name) {
    nb::object code = nb::steal(PyNumber_Add(spec.ptr(), nb::str(", name='").ptr()));
    if (!code.is_valid()) throw_pending();
    code = nb::steal(PyNumber_Add(code.ptr(), index_name.ptr()));
    if (!code.is_valid()) throw_pending();
    code = nb::steal(PyNumber_Add(code.ptr(), nb::str("'").ptr()));
    if (!code.is_valid()) throw_pending();
    return code;
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
    return framed(client, "Can not create indexes.", [=]() -> Body {
        nb::object db = co_await access_check(client, db_name, collection_name);
        nb::object collection = item(db, collection_name);
        nb::object manage_collection = item(db, names::manage(collection_name));

        nb::list indexes;
        nb::list manage_collection_docs;
        // The names as they are when the call starts; the dict may be the
        // caller's and change while we wait on the server.
        nb::list index_names = nb::steal<nb::list>(PySequence_List(index.ptr()));
        for (nb::handle name : index_names) {
            nb::object spec = item(index, name);
            if (equals(name, "_id_")) raise_runtime(cat("'", name, "' is in the index_list."));
            nb::dict filter = doc("type", nb::str("index"), "name", name);
            nb::object found = co_await driver(manage_collection, "find_one", filter);
            if (!found.is_none()) raise_runtime(cat("'", name, "' is in the index_list."));
            nb::object code = record_code(spec, name);
            indexes.append(index_model(code, name));
            manage_collection_docs.append(doc("type", nb::str("index"), "name", name, "code", code));
        }
        if (nb::len(indexes) != 0) {
            co_await driver(collection, "create_indexes", indexes);
            co_await driver(manage_collection, "insert_many", manage_collection_docs);
        }
        co_return nb::none();
    });
}

// delete_index(client, db_name, collection_name, index_name): drop the index,
// then every record of that name.
Body delete_index(Args a) {
    nb::handle client = a[0], db_name = a[1], collection_name = a[2], index_name = a[3];
    return framed(client, message("Can not delete '", index_name, "'!"), [=]() -> Body {
        nb::object db = co_await access_check(client, db_name, collection_name);
        nb::object collection = item(db, collection_name);
        nb::object manage_collection = item(db, names::manage(collection_name));
        co_await driver(collection, "drop_index", index_name);
        co_await driver(manage_collection, "delete_many", doc("type", nb::str("index"), "name", index_name));
        co_return nb::none();
    });
}

// deactive_index(client, db_name, collection_name): drop every index of the
// main collection but `_id_`; the records stay.
Body deactive_index(Args a) {
    nb::handle client = a[0], db_name = a[1], collection_name = a[2];
    // Taken before the frame: a name the driver refuses is reported as is.
    nb::object db = item(client, db_name);
    nb::object collection = item(db, collection_name);
    co_return co_await framed(client, "Can not deactive indexes of collection!",
                              [&]() -> Body {
        db = co_await access_check(client, db_name, collection_name);
        collection = item(db, collection_name);
        co_await driver(collection, "drop_indexes");
        co_return nb::none();
    });
}

// active_index(client, db_name, collection_name): one model per index record,
// all built before the single create_indexes.
Body active_index(Args a) {
    nb::handle client = a[0], db_name = a[1], collection_name = a[2];
    return framed(client, "Can not active indexes of collection!",
                  [=]() -> Body {
        nb::object db = co_await access_check(client, db_name, collection_name);
        nb::object collection = item(db, collection_name);
        nb::object manage_collection = item(db, names::manage(collection_name));

        nb::list indexes;
        nb::object cursor = invoke(manage_collection, "find", doc("type", to_text("index")));
        nb::object it = aiter(cursor);
        for (;;) {
            nb::object record = co_await next_item(it);
            if (!record.is_valid()) break;
            nb::object code = item(record, interned("code"));
            nb::object name = invoke(record, "get", interned("name"));
            indexes.append(index_model(code, name));
        }
        if (nb::len(indexes) != 0) co_await driver(collection, "create_indexes", indexes);
        co_return nb::none();
    });
}

}  // namespace kestrel::functions
