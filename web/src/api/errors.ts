// The engine's errors as values the screens can show and test.

export class ApiError extends Error {
  /** The engine's error number (1006, 1300, ...), or a JSON-RPC code, or 0 when the network failed. */
  readonly number: number;
  /** The engine's full description, shown behind "details". */
  readonly description: string;
  readonly source: string;
  /** The HTTP status, 0 when no answer came. */
  readonly status: number;

  constructor(number: number, description: string, source = "", status = 0) {
    super(description || `Error ${number}`);
    this.name = "ApiError";
    this.number = number;
    this.description = description;
    this.source = source;
    this.status = status;
  }
}

export const NOT_SIGNED_IN = 1300;

export function isSessionExpired(e: unknown): boolean {
  return e instanceof ApiError && (e.number === NOT_SIGNED_IN || e.status === 401);
}

type Json = Record<string, unknown>;

function asObject(v: unknown): Json | null {
  return v !== null && typeof v === "object" && !Array.isArray(v) ? (v as Json) : null;
}

/**
 * Reads an error out of whatever the service answered: a JSON-RPC error
 * (`{error:{code,message,data:{number,source,description}}}`), a sign-in
 * endpoint's error (`{error:{status,number,message}}`), or nothing usable.
 */
export function errorFromBody(body: unknown, status: number): ApiError {
  const error = asObject(asObject(body)?.error);
  if (error) {
    const data = asObject(error.data);
    const number =
      typeof data?.number === "number"
        ? data.number
        : typeof error.number === "number"
          ? error.number
          : typeof error.code === "number"
            ? error.code
            : status;
    const description =
      typeof data?.description === "string"
        ? data.description
        : typeof error.message === "string"
          ? error.message
          : "";
    const source = typeof data?.source === "string" ? data.source : "";
    return new ApiError(number, description, source, status);
  }
  return new ApiError(status, `The service answered HTTP ${status}`, "", status);
}
