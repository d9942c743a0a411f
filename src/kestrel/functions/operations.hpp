// The operation bodies of kestrel.functions, one source file per subsystem.
#pragma once

#include "core/frame.hpp"
#include "core/ops.hpp"

namespace kestrel::functions {

// lifecycle.cpp
Body create_collection(Args a);
Body drop_collection(Args a);
Body compact(Args a);

// indexes.cpp
Body insert_index(Args a);
Body delete_index(Args a);
Body deactive_index(Args a);
Body active_index(Args a);

// rules.cpp
Body insert_unique(Args a);
Body delete_unique(Args a);
Body insert_archive_unique(Args a);
Body delete_archive_unique(Args a);

// loading.cpp
Body insert_temp(Args a);
Body Delete_doc_main(Args a);

// merge.cpp
Body temp_to_main(Args a);

// refresh.cpp
Body refresh_archive(Args a);

// find.cpp
Body _check_newest_unique(Args a);
Body find(Args a);

}  // namespace kestrel::functions
