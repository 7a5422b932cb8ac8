# SPDX-License-Identifier: Apache-2.0
# cmake -DGZIP=gzip -DIN=file -DOUT=file.gz -P gzip_file.cmake: compresses
# without the file name or a time stamp in the header, so the result depends
# on the content alone.
execute_process(COMMAND ${GZIP} -9 -n -c INPUT_FILE ${IN} OUTPUT_FILE ${OUT}
                COMMAND_ERROR_IS_FATAL ANY)
