export interface HostsOptions {
  /** A hosts file of entries, one a line (varnick-session --hosts-file). */
  file?: string;
  /** Send the entries as UTF-8 rather than the OEM code page (--utf8). */
  utf8?: boolean;
  /** Seconds to wait for Varnick to connect (--timeout). */
  timeout?: number;
  /** Never ask for consent: through the Varnick service or not at all (--no-consent). */
  noConsent?: boolean;
  /**
   * Start varnick.exe even from a folder that others than administrators may change
   * (--trust-varnick-folder): whatever a program put there then runs with administrator rights.
   */
  trustVarnickFolder?: boolean;
  /**
   * Where Varnick is not available (macOS), run without entries and resolve with
   * `via: "none"` instead of failing. Default: VARNICK_SESSION_OPTIONAL=1 in the environment.
   */
  optional?: boolean;
  /** Milliseconds to wait for the entries to be in (a consent prompt included); default 120000. */
  readyTimeout?: number;
  /**
   * Ends the session: before its entries are in, the call rejects with reason "aborted";
   * after, the entries are taken out at once.
   */
  signal?: AbortSignal;
}

/** Why a session could not start or end cleanly, as the session said it. */
export class VarnickSessionError extends Error {
  /** The session's exit code (docs/session.md); 1 when no session could run here. */
  exitCode: number;
  /**
   * One word for the failure: "varnick-untrusted-folder", "service-not-running",
   * "service-refused", "entry-refused", "consent-declined", "usage", "unsupported-platform",
   * "ready-timeout", "aborted", ...
   */
  reason: string;
  /** The ways out that the session listed, one a line (also at the end of the message). */
  remedies: string[];
}

/** Keeps `entries` in the hosts file while `fn` runs, and takes them out however it ends. */
export function withHosts<T>(
  entries: string[],
  fn: () => T | Promise<T>,
  options?: HostsOptions,
): Promise<T>;

export interface HeldHosts {
  entries: string[];
  /** "service" or "consent" on Windows, "root" or "sudo" on Linux, "none" (optional, on macOS). */
  via: 'service' | 'consent' | 'sudo' | 'root' | 'none';
  /** Takes the entries out; the same promise each time. */
  stop(): Promise<void>;
}

/** Keeps `entries` in the hosts file until `stop()` or the end of this process. */
export function startHosts(entries: string[], options?: HostsOptions): Promise<HeldHosts>;
