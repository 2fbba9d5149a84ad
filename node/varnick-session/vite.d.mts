import type { Plugin } from 'vite';

export interface VarnickViteOptions {
  /**
   * Hosts lines ("127.0.0.1 app.myapp.test") or bare names (given 127.0.0.1); their names
   * are added to Vite's allowedHosts. Default: "<package name>.localhost".
   */
  entries?: string[];
  /** Never ask for consent: through the Varnick service or not at all. */
  noConsent?: boolean;
  /** Start varnick.exe even from a folder that others than administrators may change. */
  trustVarnickFolder?: boolean;
  /** Where Varnick is not available (macOS), serve without entries instead of failing. */
  optional?: boolean;
}

/** The server's names in the hosts file for as long as `vite` or `vite preview` runs. */
export default function varnick(options?: VarnickViteOptions): Plugin;
