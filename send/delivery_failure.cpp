// delivery_failure.cpp - what a failed delivery means.
#include "send/delivery_failure.h"

namespace tessaline {

namespace {

// Failures that are the program's or the person's, not the server's.
bool local_failure(int error_code) {
  switch (error_code) {
    case 4505:  // no recipients
    case 4552: case 4595: case 4612: case 4622: case 4632:  // stopped by the person
    case 4615: case 4617: case 4619: case 4620:  // the message could not be made
      return true;
    default:
      return false;
  }
}

}  // namespace

DeliveryFailure classify_delivery_failure(int error_code, int reply_code) {
  DeliveryFailure failure;
  // A stop right after the marker, or no answer to it: the server may
  // hold the message.
  if (error_code == 4632 || (error_code == 4640 && reply_code == 0)) {
    failure.may_be_delivered = true;
    failure.temporary = error_code == 4640;
    return failure;
  }
  if (reply_code >= 500 && reply_code <= 599) {
    failure.permanent = true;
    failure.refused_message = error_code == 4590 || error_code == 4610 || error_code == 4640;
    return failure;
  }
  if (local_failure(error_code)) return failure;
  failure.temporary = reply_code == 0 || (reply_code >= 400 && reply_code <= 499);
  return failure;
}

}  // namespace tessaline
