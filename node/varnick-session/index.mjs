// The ES module face of the same API.
import api from './index.js';

export const { withHosts, startHosts, VarnickSessionError } = api;
