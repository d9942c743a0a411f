// Module kestrel.users: database users and roles.
#include "core/frame.hpp"
#include "core/ops.hpp"

namespace kestrel::users {

// create_user / drop_user: in the transaction frame, check the database, then
// send one command to it.
Body create_user(Args a) {
    nb::handle client = a[0], db_name = a[1], user = a[2], pwd = a[3], roles = a[4];
    return framed(client, "Can not create user!", {"create_user", db_name}, [=](OpLog &log) -> Body {
        Held<> db = co_await database_check(client, db_name);
        co_await driver(db, "command", doc("createUser", user, "pwd", pwd, "roles", roles));
        if (log) log.done("%s %s: created user %s with roles %s in %.3f s", {figure("user", user), figure("roles", roles)});
        co_return nb::none();
    });
}

Body drop_user(Args a) {
    nb::handle client = a[0], db_name = a[1], user = a[2];
    return framed(client, "Can not drop user!", {"drop_user", db_name}, [=](OpLog &log) -> Body {
        Held<> db = co_await database_check(client, db_name);
        co_await driver(db, "command", doc("dropUser", user));
        if (log) log.done("%s %s: dropped user %s in %.3f s", {figure("user", user)});
        co_return nb::none();
    });
}

// get_users / get_roles: no session; the server's reply is returned unchanged.
// The command is made once the database is checked, as a Python body makes it.
Task<nb::object> info(nb::handle client, nb::handle db_name, nb::dict (*command)(), const char *failure,
                      const char *operation, const char *listed, const char *format) {
    OpLog log(operation, db_name);
    try {
        Held<> db = co_await database_check(client, db_name);
        Held<> reply = co_await driver(db, "command", command());
        if (log) {
            // How many the reply lists, when it is the usual document.
            nb::object found = nb::none();
            if (PyDict_Check(reply.ptr()))
                if (PyObject *list = PyDict_GetItemString(reply.ptr(), listed); list && PyList_Check(list))
                    found = nb::int_(PyList_GET_SIZE(list));
            log.done_debug(format, {figure(listed, found)});
        }
        co_return std::move(reply);
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
        raise_from(nb::str(failure), e);
    }
}

nb::dict users_info() { return doc("usersInfo", nb::int_(1)); }
nb::dict roles_info() { return doc("rolesInfo", nb::int_(1), "showPrivileges", nb::bool_(true)); }

Body get_users(Args a) { return info(a[0], a[1], users_info, "Can not access users!", "get_users", "users",
                                    "%s %s: %s users listed in %.3f s"); }

Body get_roles(Args a) { return info(a[0], a[1], roles_info, "Can not access roles!", "get_roles", "roles",
                                    "%s %s: %s roles listed in %.3f s"); }

}  // namespace kestrel::users

using namespace kestrel;
using namespace kestrel::users;

KESTREL_MODULE(users, m) {
    m.attr("AsyncIOMotorClient") = nb::module_::import_("motor.motor_asyncio").attr("AsyncIOMotorClient");
    nb::module_ typing = nb::module_::import_("typing");
    m.attr("Dict") = typing.attr("Dict");
    m.attr("Optional") = typing.attr("Optional");
    m.attr("asyncio") = nb::module_::import_("asyncio");
    init_module(m);

    const Param client{"client", "AsyncIOMotorClient"};
    const Param db_name{"db_name", "str"};
    const std::string doc_user = doc_text({"Create user with roles."});
    register_op(m, {"create_user",
                    {client, db_name, {"user", "str"}, {"pwd", "str"}, {"roles", "list"}}, "None",
                    doc_user, create_user});
    register_op(m, {"drop_user", {client, db_name, {"user", "str"}}, "None", doc_user, drop_user});
    register_op(m, {"get_users", {client, db_name}, "None", doc_user, get_users});
    register_op(m, {"get_roles", {client, db_name}, "Optional[list]", doc_text({"Show all roles."}),
                    get_roles});
}
