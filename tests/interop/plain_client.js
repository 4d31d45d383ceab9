// A node-opcua client over SecurityPolicy None with an anonymous user, trying once: what
// the interop tests of the server use when security is not what they test.
"use strict";
const { OPCUAClient, MessageSecurityMode, SecurityPolicy } = require("node-opcua-client");

function plainClient() {
  return OPCUAClient.create({
    applicationName: "vexahv interop", endpointMustExist: false,
    securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None, connectionStrategy: { maxRetry: 0 },
  });
}

module.exports = { plainClient };
