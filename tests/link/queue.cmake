# Outgoing queue of the broker links: memory list, SQLite backup and disk guard.
tolvar_test(tst_messque SOURCES tst_messque.cpp LIBS link testsupport LABELS unit)
