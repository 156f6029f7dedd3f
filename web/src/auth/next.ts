/** Where to go after signing in: only a path of this app, never another site or the sign-in pages. */
export function safeNext(next: string | null): string {
  if (!next || !next.startsWith("/") || next.startsWith("//") || next.startsWith("/\\")) return "/";
  if (next.startsWith("/signin") || next.startsWith("/setup")) return "/";
  return next;
}
