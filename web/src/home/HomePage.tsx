import { useDeferredValue, useState } from "react";
import { useAuth } from "../auth/AuthContext";
import { STATE_FILTERS, type StateFilter } from "./filters";
import { ProductsTable } from "./ProductsTable";
import { TemplatesTable } from "./TemplatesTable";

/** Products and templates with the state of their trees. */
export function HomePage() {
  const { identity } = useAuth();
  const [search, setSearch] = useState("");
  const [state, setState] = useState<StateFilter>("all");
  const deferred = useDeferredValue(search);
  const me = identity?.login ?? "";
  return (
    <main>
      <h1>Products and templates</h1>
      <p className="hint">
        Every product has one troubleshooting tree; templates hold parts you can insert into any tree. Open a tree to
        edit it, or create one where there is none yet.
      </p>
      <div className="toolbar" role="search">
        <label htmlFor="home-search">Search</label>
        <input
          id="home-search"
          type="search"
          value={search}
          placeholder="Name or number"
          onChange={(e) => setSearch(e.target.value)}
        />
        <label htmlFor="home-state">Show</label>
        <select id="home-state" value={state} onChange={(e) => setState(e.target.value as StateFilter)}>
          {STATE_FILTERS.map((f) => (
            <option key={f.value} value={f.value}>
              {f.label}
            </option>
          ))}
        </select>
      </div>
      <ProductsTable search={deferred} state={state} me={me} role={identity?.role} />
      <TemplatesTable search={deferred} state={state} me={me} role={identity?.role} />
    </main>
  );
}
