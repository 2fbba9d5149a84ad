// The ES module face of the Vite plugin.
import varnick from './vite.js';

export default varnick;
