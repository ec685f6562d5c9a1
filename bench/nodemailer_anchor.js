// nodemailer's pooled SMTP transport as a peer anchor of the latency
// benchmark (bench/latency_bench.sh).
//
//   NODE_PATH=DIR/node_modules node nodemailer_anchor.js PORT COUNT MESSAGE_FILE [CONNECTIONS]
//
// Sends the message in MESSAGE_FILE (as it goes on the wire) COUNT times to
// 127.0.0.1:PORT, each time to its own recipient, through one pool of
// CONNECTIONS connections (5 by default) that stay open for the whole run.
// Prints the seconds from the first message handed to the pool to the
// closing of the pool; ends with status 1 when a message is refused.
"use strict";
const fs = require("fs");
const nodemailer = require("nodemailer");

async function main() {
  const [port, count, file, connections] = process.argv.slice(2);
  const raw = fs.readFileSync(file);
  const transport = nodemailer.createTransport({
    host: "127.0.0.1",
    port: Number(port),
    secure: false,
    ignoreTLS: true,
    pool: true,
    maxConnections: Number(connections || 5),
    maxMessages: Infinity,
  });
  const start = process.hrtime.bigint();
  const sends = [];
  for (let i = 0; i < Number(count); i++) {
    sends.push(transport.sendMail({
      envelope: { from: "sender@example.test", to: [`rcpt${i}@example.test`] },
      raw,
    }));
  }
  const results = await Promise.allSettled(sends);
  transport.close();
  const seconds = Number(process.hrtime.bigint() - start) / 1e9;
  const failed = results.filter((r) => r.status !== "fulfilled");
  if (failed.length > 0) {
    console.error(`${failed.length} messages failed: ${failed[0].reason}`);
    process.exit(1);
  }
  console.log(seconds.toFixed(6));
}

main();
