"""The clustering of ``refresh_archive``, written out plainly in Python.

This is the yardstick for ``kestrel.functions.refresh_archive``: the same
cluster step, with the re-pointing that rewrites every key tuple of every
rule whenever a document meets existing clusters, so its work grows with the
number of meeting documents times the number of distinct key tuples.  The
benchmark times it next to the extension, and the tests check the extension
against it on random inputs.

``reference_cluster`` takes the documents as the two scans read them (the
temp companion newest ``_id`` first, then the main collection newest ``_id``
first) and the archive-unique rules as a list of field sets, and returns what
the refresh then writes.  It changes the documents it is given (temp
documents lose their ``_id``), as the refresh does with the documents it reads.
"""

from __future__ import annotations


def reference_cluster(temp_docs, main_docs, uniques):
    tekrar = {i: {} for i in range(len(uniques))}
    temp_to_main_docs = []
    archive_docs = []
    main_del_ids = []
    cluster_index = 0
    clusters = {}

    def archive(d):
        archive_docs.append(d)
        if "_id" in d:
            main_del_ids.append(d["_id"])

    def cluster_step(doc):
        nonlocal cluster_index
        cluster_index += 1
        n = cluster_index
        clusters[n] = doc
        over_lapped = set()
        for i in range(len(uniques)):
            if uniques[i].issubset(doc.keys()):
                tekrar_key = tuple(doc[field] for field in uniques[i])
                if tekrar_key not in tekrar[i]:
                    tekrar[i][tekrar_key] = n
                else:
                    over_lapped.add(tekrar[i][tekrar_key])
        if over_lapped:
            for i in range(len(tekrar)):
                for key in tekrar[i]:
                    if tekrar[i][key] in over_lapped:
                        tekrar[i][key] = n
        max_index_doc = doc
        for ind in sorted(over_lapped):
            c = clusters[ind]
            if c["__index__"] > max_index_doc["__index__"]:
                archive(max_index_doc)
                max_index_doc = c
            else:
                archive(c)
            del clusters[ind]
        clusters[n] = max_index_doc

    for doc in temp_docs:
        if "__index__" not in doc:
            doc.pop("_id", None)
            temp_to_main_docs.append(doc)
        else:
            doc.pop("_id", None)
            cluster_step(doc)
    for doc in main_docs:
        if "__index__" in doc:
            cluster_step(doc)
    for n in clusters:
        if "_id" not in clusters[n]:
            temp_to_main_docs.append(clusters[n])
    corrected_archive_docs = []
    for d in archive_docs:
        d = dict(d)
        d.pop("_id", None)
        corrected_archive_docs.append(d)
    return {
        "temp_to_main_docs": temp_to_main_docs,
        "archive_docs": archive_docs,
        "main_del_ids": main_del_ids,
        "corrected_archive_docs": corrected_archive_docs,
    }
