zov_test(tst_demoseed SOURCES tst_demoseed.cpp LIBS zovserver)
