export interface HostsOptions {
  /** A hosts file of entries, one a line (varnick-session --hosts-file). */
  file?: string;
  /** Send the entries as UTF-8 rather than the OEM code page (--utf8). */
  utf8?: boolean;
  /** Seconds to wait for Varnick to connect (--timeout). */
  timeout?: number;
  /** Never ask for consent: through the Varnick service or not at all (--no-consent). */
  noConsent?: boolean;
}

/** The session's message and exit code, when it could not start or end cleanly. */
export class VarnickSessionError extends Error {
  exitCode: number;
}

/** Keeps `entries` in the hosts file while `fn` runs, and takes them out however it ends. */
export function withHosts<T>(
  entries: string[],
  fn: () => T | Promise<T>,
  options?: HostsOptions,
): Promise<T>;

export interface HeldHosts {
  entries: string[];
  /** "service" or "consent": which way the entries went in. */
  via: string;
  /** Takes the entries out; the same promise each time. */
  stop(): Promise<void>;
}

/** Keeps `entries` in the hosts file until `stop()` or the end of this process. */
export function startHosts(entries: string[], options?: HostsOptions): Promise<HeldHosts>;
