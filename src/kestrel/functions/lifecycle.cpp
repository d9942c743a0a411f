// Collection lifecycle: create, drop and compact a managed collection.
#include "operations.hpp"

namespace kestrel::functions {

namespace {

// {"resource": {"db": db_name, "collection": collection}, "actions": [...]}
nb::dict privilege(nb::handle db_name, nb::handle collection, std::initializer_list<const char *> actions) {
    nb::list list;
    for (const char *action : actions) list.append(nb::str(action));
    return doc("resource", doc("db", db_name, "collection", collection), "actions", list);
}

// The privileges of the four roles of collection C, in the order they are granted.
nb::list read_privileges(nb::handle db_name, nb::handle c) {
    nb::list p;
    p.append(privilege(db_name, c, {"find"}));
    p.append(privilege(db_name, names::temp(c), {"find"}));
    p.append(privilege(db_name, names::manage(c), {"find"}));
    return p;
}

nb::list write_privileges(nb::handle db_name, nb::handle c) {
    nb::list p;
    p.append(privilege(db_name, names::temp(c), {"insert"}));
    return p;
}

nb::list remove_privileges(nb::handle db_name, nb::handle c) {
    nb::list p;
    p.append(privilege(db_name, c, {"remove"}));
    p.append(privilege(db_name, names::temp(c), {"remove"}));
    return p;
}

nb::list admin_privileges(nb::handle db_name, nb::handle c) {
    nb::list p;
    p.append(privilege(db_name, c, {"createIndex", "dropIndex", "collMod"}));
    p.append(privilege(db_name, names::temp(c), {"createIndex", "dropIndex", "collMod"}));
    p.append(privilege(db_name, names::manage(c), {"insert", "update", "remove"}));
    return p;
}

// db.command("createRole", role, privileges=privileges, roles=[])
Task<nb::object> create_role(nb::handle db, nb::str role, nb::list privileges) {
    co_return co_await driver(db, "command", "createRole", role, nb::arg("privileges") = privileges,
                              nb::arg("roles") = nb::list());
}

// What a managed collection is made of, as the records name them.
nb::list collection_names(nb::handle c) {
    nb::list names;
    names.append(c);
    names.append(names::temp(c));
    names.append(names::manage(c));
    return names;
}

nb::list role_names(nb::handle c) {
    nb::list roles;
    roles.append(names::role_read(c));
    roles.append(names::role_write(c));
    roles.append(names::role_remove(c));
    roles.append(names::role_admin(c));
    return roles;
}

}  // namespace

// create_collection(client, db_name, collection_name, index, unique,
// archive_unique): the three collections, the four roles, then the indexes and
// rules through their own operations.
Body create_collection(Args a) {
    nb::handle client = a[0], db_name = a[1], collection_name = a[2];
    nb::handle index = a[3], unique = a[4], archive_unique = a[5];
    return framed(client, message("Can not create '", collection_name, "'!"),
                  {"create_collection", db_name, collection_name}, [=](OpLog &log) -> Body {
        Held<> db = item(client, db_name);
        co_await driver(db, "create_collection", collection_name);
        co_await driver(db, "create_collection", names::temp(collection_name));
        co_await driver(db, "create_collection", names::manage(collection_name));

        co_await create_role(db, names::role_read(collection_name), read_privileges(db_name, collection_name));
        co_await create_role(db, names::role_write(collection_name), write_privileges(db_name, collection_name));
        co_await create_role(db, names::role_remove(collection_name),
                             remove_privileges(db_name, collection_name));
        co_await create_role(db, names::role_admin(collection_name), admin_privileges(db_name, collection_name));

        Kwargs kwargs = op_args(client, db_name, collection_name);
        kwargs["index"] = index;
        co_await call_op("insert_index", std::move(kwargs));
        kwargs = op_args(client, db_name, collection_name);
        kwargs["unique"] = unique;
        co_await call_op("insert_unique", std::move(kwargs));
        kwargs = op_args(client, db_name, collection_name);
        kwargs["unique"] = archive_unique;
        co_await call_op("insert_archive_unique", std::move(kwargs));
        if (log)
            log.done("%s %s.%s: created collections %s and roles %s in %.3f s",
                     {figure("collections", collection_names(collection_name)),
                      figure("roles", role_names(collection_name))});
        co_return nb::none();
    });
}

// drop_collection(client, db_name, collection_name): the three collections,
// then the four roles; "archive_" + C stays.
Body drop_collection(Args a) {
    nb::handle client = a[0], db_name = a[1], collection_name = a[2];
    return framed(client, message("Can not drop '", collection_name, "'!"),
                  {"drop_collection", db_name, collection_name}, [=](OpLog &log) -> Body {
        Held<> db = co_await access_check(client, db_name, collection_name);
        Held<> collection = item(db, collection_name);
        Held<> temp_collection = item(db, names::temp(collection_name));
        Held<> manage_collection = item(db, names::manage(collection_name));
        co_await driver(collection, "drop");
        co_await driver(temp_collection, "drop");
        co_await driver(manage_collection, "drop");
        co_await driver(db, "command", "dropRole", names::role_read(collection_name));
        co_await driver(db, "command", "dropRole", names::role_write(collection_name));
        co_await driver(db, "command", "dropRole", names::role_remove(collection_name));
        co_await driver(db, "command", "dropRole", names::role_admin(collection_name));
        if (log)
            log.done("%s %s.%s: dropped collections %s and roles %s in %.3f s",
                     {figure("collections", collection_names(collection_name)),
                      figure("roles", role_names(collection_name))});
        co_return nb::none();
    });
}

// compact(client, db_name, collection_name): drop the indexes, compact the main
// collection, print the server's reply, re-create the indexes from the records.
Body compact(Args a) {
    nb::handle client = a[0], db_name = a[1], collection_name = a[2];
    return framed(client, message("Can not compact '", collection_name, "'!"),
                  {"compact", db_name, collection_name, true}, [=](OpLog &log) -> Body {
        Held<> db = co_await access_check(client, db_name, collection_name);
        Held<> collection = item(db, collection_name);
        co_await call_op("deactive_index", op_args(client, db_name, collection_name));
        log.phase("indexes dropped");
        Held<> result = co_await driver(db, "command", "compact", collection_name);
        nb::module_::import_("builtins").attr("print")(result);
        log.phase("compacted");
        co_await call_op("active_index", op_args(client, db_name, collection_name));
        log.phase("indexes rebuilt");
        if (log) log.done("%s %s.%s: compacted, indexes dropped and rebuilt in %.3f s", {});
        co_return nb::none();
    });
}

}  // namespace kestrel::functions
