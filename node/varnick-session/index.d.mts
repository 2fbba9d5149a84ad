// The ES module face of index.d.ts: the same functions and classes.
export { withHosts, startHosts, VarnickSessionError } from './index.js';
export type { HostsOptions, HeldHosts } from './index.js';
