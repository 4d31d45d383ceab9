// Computes the golden vectors of the secure channel tests with node-opcua's own crypto
// (an implementation independent of the server's): the keys a server derives from a client
// nonce of 32 x 0x11 and a server nonce of 32 x 0x22, and one MSG chunk (channel 7, token 1,
// sequence 51, request 9, body "hello secure world") signed, and signed and encrypted, with
// them; ua_channel_crypto_test.cpp holds its output. Run: node tests/interop/make_security_vectors.js
"use strict";
const crypto = require("node-opcua-crypto");

const clientNonce = Buffer.alloc(32, 0x11), serverNonce = Buffer.alloc(32, 0x22);
const body = Buffer.from("hello secure world");

function keys(encryptingKeyLength) {
  // A server's keys: the client nonce is the secret, the server nonce the seed.
  return crypto.computeDerivedKeys(clientNonce, serverNonce, {
    signatureLength: 32, signingKeyLength: 32, encryptingKeyLength, encryptingBlockSize: 16,
    algorithm: encryptingKeyLength === 32 ? "aes-256-cbc" : "aes-128-cbc", sha1or256: "SHA256",
  });
}

function chunk(derived, encrypt) {
  const padding = encrypt ? (16 - ((8 + body.length + 1 + 32) % 16)) % 16 : -1;
  const plainLength = 16 + 8 + body.length + (padding + 1) + 32;
  const b = Buffer.alloc(plainLength - 32);
  b.write("MSGF", 0, "ascii");
  b.writeUInt32LE(plainLength, 4);
  b.writeUInt32LE(7, 8);
  b.writeUInt32LE(1, 12);
  b.writeUInt32LE(51, 16);
  b.writeUInt32LE(9, 20);
  body.copy(b, 24);
  for (let i = 0; i <= padding; ++i) b[24 + body.length + i] = padding;
  const signature = crypto.makeMessageChunkSignatureWithDerivedKeys(b, derived);
  const signed = Buffer.concat([b, signature]);
  if (!encrypt) return signed;
  return Buffer.concat([signed.subarray(0, 16), crypto.encryptBufferWithDerivedKeys(signed.subarray(16), derived)]);
}

for (const [name, length] of [["Basic256Sha256", 32], ["Aes128_Sha256_RsaOaep", 16]]) {
  const k = keys(length);
  console.log(`${name} signing ${k.signingKey.toString("hex")}`);
  console.log(`${name} encrypting ${k.encryptingKey.toString("hex")}`);
  console.log(`${name} iv ${k.initializationVector.toString("hex")}`);
  console.log(`${name} signed ${chunk(k, false).toString("hex")}`);
  console.log(`${name} encrypted ${chunk(k, true).toString("hex")}`);
}
