// The engine's error numbers in plain words. The engine's own description
// stays available behind "details"; this is the sentence a person reads first.
import { ApiError } from "../api/errors";

const SENTENCES: Record<number, string> = {
  0: "The service could not be reached. Check that it is running and try again.",
  1002: "The tree could not be loaded. It may have been deleted; go back to the home page and open it again.",
  1003: "You do not hold this tree checked out. Check it out first, then make your change.",
  1004: "The top of a tree cannot be deleted.",
  1005: "A node of this type cannot be added here.",
  1006: "That node is no longer in the tree. Someone may have changed it; the tree has been reloaded.",
  1011: "Someone else has this tree checked out, so it cannot be changed now.",
  1012: "That text is no longer in the repository.",
  1013: "That text is still used by nodes, so it cannot be deleted.",
  1014: "The text could not be carried into every tree that shows it. Nothing was changed.",
  1100: "The source tree could not be read.",
  1200: "Something in the request was not valid. Check what you entered and try again.",
  1201: "The visibility list is not valid.",
  1203: "There is nothing to publish: the tree is not checked out.",
  1204: "This tree exists already.",
  1210: "The catalog does not know this product.",
  1211: "This template has no description any more.",
  1300: "Your session has ended. Sign in again.",
  1301: "Your role does not allow this.",
  1302: "You can only act for yourself.",
  1303: "The login or the password is wrong.",
  1304: "Too many failed sign-ins. Wait a minute and try again.",
  1305: "An account with this login exists already.",
  1308: "This setup link is no longer valid. An administrator exists already; sign in instead.",
  1309: "The page lost its security token. Reload the page and try again.",
  1400: "That version does not exist.",
  1600: "Nobody has this tree checked out, so there is no working copy to show.",
  1601: "Only the holder of the check-out, publishers and admins can see a working copy.",
  1401: "That copy of the tree is not there.",
  1403: "The tree has validation errors, so it was not published. Fix them or publish anyway.",
};

/** An error the app raises itself, already in plain words; `cause` is what the engine said, if anything. */
export class PlainError extends Error {
  readonly cause: unknown;
  constructor(message: string, cause?: unknown) {
    super(message);
    this.name = "PlainError";
    this.cause = cause;
  }
}

const FALLBACK = "Something went wrong. Try again; if it keeps happening, show the details to an administrator.";

/** The sentence for an error; the fallback for numbers the app does not know. */
export function plainMessage(error: unknown): string {
  if (error instanceof ApiError) {
    const sentence = SENTENCES[error.number];
    if (sentence) return sentence;
    if (error.status === 401) return SENTENCES[1300]!;
    if (error.status === 403) return SENTENCES[1301]!;
    if (error.number < 0) return "The database refused the change. Try again; nothing was saved.";
    return FALLBACK;
  }
  if (error instanceof PlainError) return error.message;
  return FALLBACK;
}

/** The full technical description, for the "details" disclosure. */
export function errorDetails(error: unknown): string {
  if (error instanceof PlainError) return error.cause ? errorDetails(error.cause) : error.message;
  if (error instanceof ApiError) {
    const parts = [`Error ${error.number}`];
    if (error.source) parts.push(`from ${error.source}`);
    return `${parts.join(" ")}: ${error.description || "(no description)"}`;
  }
  if (error instanceof Error) return error.message;
  return String(error);
}
