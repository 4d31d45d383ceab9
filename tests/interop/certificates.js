// Self-signed certificates for the interop tests, made with node-opcua's own crypto and
// written under a test's temporary folder.
"use strict";
const fs = require("fs");
const path = require("path");
const crypto = require("node-opcua-crypto");

// name, applicationUri, and optionally notBefore/notAfter (Dates) and purpose.
async function makeCertificate(dir, name, { applicationUri, notBefore, notAfter, user = false } = {}) {
  const key = await crypto.generatePrivateKey(2048);
  const { privPem } = await crypto.privateKeyToPEM(key);
  const start = notBefore || new Date(Date.now() - 3600 * 1000);
  const { cert } = await crypto.createSelfSignedCertificate({
    privateKey: key, notBefore: start, notAfter: notAfter || new Date(Date.now() + 30 * 86400 * 1000),
    subject: `/CN=${name}`, applicationUri: applicationUri || `urn:test:${name}`, dns: ["localhost"],
    purpose: user ? crypto.CertificatePurpose.ForUserAuthentication : crypto.CertificatePurpose.ForApplication,
  });
  fs.mkdirSync(dir, { recursive: true });
  const certificateFile = path.join(dir, `${name}.pem`), privateKeyFile = path.join(dir, `${name}.key`);
  fs.writeFileSync(certificateFile, cert);
  fs.writeFileSync(privateKeyFile, privPem, { mode: 0o600 });
  return { certificateFile, privateKeyFile, der: crypto.convertPEMtoDER(cert), keyPem: privPem };
}

module.exports = { makeCertificate };
