# Builds one sample package: cmake -DAPP=<program> -DVERSION=<x.y.z> -DSOURCE=<dir> -DSTAGE=<dir>
#   -DOUTPUT=<zip> -P make_sample_package.cmake
file(REMOVE_RECURSE ${STAGE})
file(MAKE_DIRECTORY ${STAGE}/bin ${STAGE}/config)
file(COPY ${APP} DESTINATION ${STAGE}/bin FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
     GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
get_filename_component(app_name ${APP} NAME)
file(RENAME ${STAGE}/bin/${app_name} ${STAGE}/bin/Morvell.exe)
file(COPY ${SOURCE}/settings.ini DESTINATION ${STAGE}/config)
file(COPY ${SOURCE}/README.txt DESTINATION ${STAGE})
file(WRITE ${STAGE}/version.txt "${VERSION}\n")
file(REMOVE ${OUTPUT})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${OUTPUT} --format=zip bin config README.txt version.txt
                WORKING_DIRECTORY ${STAGE} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "could not write ${OUTPUT}")
endif()
