// delivery_failure.h - what a failed delivery means for the rest of the
// send: whether to try the message again, whether the server refused it
// for good, and whether it may have arrived after all.
//
// The SMTP client reports a failure as its step's error code (4505 ...
// 4640, mail/smtp_client.h) and the code of the last reply the server gave
// (0 when none came). From those two:
//   - a 5xx reply is permanent: the message is not tried again in this
//     send; when it refused the recipient, DATA or the end of the data, the
//     refusal is the message's own and the journal records it as refused,
//     so a resume does not send it again; a 5xx to the greeting or the
//     sender is the server's or the sender's, and a resume tries again;
//   - a 4xx reply, a connection that could not be made or broke, and a
//     server that did not answer in time are temporary: the message may be
//     tried again after a pause;
//   - a stop asked for by the person and a message that could not be made
//     (an attachment that cannot be read) are neither;
//   - a failure after the end-of-data marker went out with no answer (the
//     connection broke or the time ran out waiting for the answer, or a
//     stop right after the marker) may have been delivered: the server can
//     have accepted the message without the client hearing of it.
//
// Not for: the back-off between tries (send/retry_policy.h).
//
// Failures: none; pure functions.
#pragma once

namespace tessaline {

struct DeliveryFailure {
  bool permanent = false;          // a 5xx reply
  bool refused_message = false;    // ... to RCPT, DATA or the end of the data
  bool temporary = false;          // worth another try later
  bool may_be_delivered = false;   // the end of the data went out, no answer came
};

DeliveryFailure classify_delivery_failure(int error_code, int reply_code);

}  // namespace tessaline
