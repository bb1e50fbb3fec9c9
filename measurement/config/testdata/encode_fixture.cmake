# Encodes one text fixture as a MeasurementConfig message:
#   cmake -DPROTOC=... -DSCHEMA_DIR=... -DINPUT=x.txtpb -DOUTPUT=x.pb -P encode_fixture.cmake
execute_process(
  COMMAND ${PROTOC} -I ${SCHEMA_DIR} --encode=tessaro.measurement.MeasurementConfig config.proto
  INPUT_FILE ${INPUT}
  OUTPUT_FILE ${OUTPUT}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE ${OUTPUT})
  message(FATAL_ERROR "protoc could not encode ${INPUT}")
endif()
