import type { Role } from "../api/types";

const ORDER: Role[] = ["reader", "author", "publisher", "admin"];

/** True when the role includes the needed one (reader < author < publisher < admin). */
export function hasRole(role: Role | undefined, needed: Role): boolean {
  if (!role) return false;
  return ORDER.indexOf(role) >= ORDER.indexOf(needed);
}
