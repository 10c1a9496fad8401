qt_add_resources(zovserver "zovserver_demo" PREFIX "/zov/db/demo" BASE ${CMAKE_SOURCE_DIR}/db/demo FILES ${CMAKE_SOURCE_DIR}/db/demo/demo.json)
