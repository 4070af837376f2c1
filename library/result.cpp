// tavro/result.h: the names of the result codes.
#include "tavro/result.h"

const char* tavro_result_name(int result) {
  switch (result) {
    case TAVRO_SUCCESS:
      return "TAVRO_SUCCESS";
    case TAVRO_ERROR_LINK_DOWN:
      return "TAVRO_ERROR_LINK_DOWN";
    case TAVRO_ERROR_NOT_RUNNING:
      return "TAVRO_ERROR_NOT_RUNNING";
    case TAVRO_ERROR_TIMEOUT:
      return "TAVRO_ERROR_TIMEOUT";
    case TAVRO_ERROR_ON_HOOK:
      return "TAVRO_ERROR_ON_HOOK";
    case TAVRO_ERROR_FILE:
      return "TAVRO_ERROR_FILE";
    case TAVRO_ERROR_ALREADY_RUNNING:
      return "TAVRO_ERROR_ALREADY_RUNNING";
    case TAVRO_ERROR_DISK_FULL:
      return "TAVRO_ERROR_DISK_FULL";
    case TAVRO_ERROR_SIZE_LIMIT:
      return "TAVRO_ERROR_SIZE_LIMIT";
    default:
      return "unknown";
  }
}
